// The MarketDefinitionRunner class: attributes and class object.
#include "objects/market_definition_runner.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

PyMemberDef market_definition_runner_members[] = {
    PELARUNE_MEMBER(MarketDefinitionRunnerRecord, sort_priority),
    PELARUNE_MEMBER(MarketDefinitionRunnerRecord, handicap),
    {},
};

PyGetSetDef market_definition_runner_getset[] = {
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, selection_id),
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, status),
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, adjustment_factor),
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, removal_date),
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, name),
    PELARUNE_FIELD(MarketDefinitionRunnerRecord, bsp),
    {},
};

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRunnerRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRunnerRecord>(
      "A runner in a market definition", market_definition_runner_members,
      market_definition_runner_getset, nullptr);
  return type;
}

} // namespace pelarune
