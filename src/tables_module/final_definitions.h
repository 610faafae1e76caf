// The last market definition of each market of a loaded file as Python values, which the
// betfairutil drop-in shows per market at its final value.
#pragma once

#include "binding/py_ref.h"
#include "input/message_store.h"

namespace pelarune {

// {market id: its last definition as json.loads gives it, or None when none came}, the markets in
// the order first met (final_definitions in tables/final_definitions.h).
PyRef final_definitions_dict(const MessageStore &records);

} // namespace pelarune
