// Expands the rows of the field tables (market/record_fields.h) into a class's attribute tables:
// each callback keeps the rows of one surface kind.
#pragma once

#include "binding/convert.h"
#include "market/market_definition.h"

#define PELARUNE_IF_member_member(...) __VA_ARGS__
#define PELARUNE_IF_member_getter(...)
#define PELARUNE_IF_member_hidden(...)
#define PELARUNE_IF_getter_member(...)
#define PELARUNE_IF_getter_getter(...) __VA_ARGS__
#define PELARUNE_IF_getter_hidden(...)

// A read-only member slot, or a getter that converts the field anew at each read.
#define PELARUNE_MEMBER_ROW(Record, surface, name, attribute)                                      \
  PELARUNE_IF_member_##surface(::pelarune::member<Record>(attribute, &Record::name), )
#define PELARUNE_GETTER_ROW(Record, surface, name, attribute, doc)                                 \
  PELARUNE_IF_getter_##surface(PyGetSetDef{attribute,                                              \
                                           ::pelarune::field_getter<Record, &Record::name>,        \
                                           nullptr, doc, nullptr}, )
