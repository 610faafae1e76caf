// Every class of the module, for code that names several of them.
#pragma once

#include "objects/exchange_prices.h"
#include "objects/market_book.h"
#include "objects/market_definition.h"
#include "objects/market_definition_runner.h"
#include "objects/price_size.h"
#include "objects/prices_iterator.h"
#include "objects/runner.h"
#include "objects/starting_prices.h"
