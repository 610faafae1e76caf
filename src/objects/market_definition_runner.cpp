// The MarketDefinitionRunner class: attributes and class object.
#include "objects/market_definition_runner.h"

#include "objects/record_surface.h"

namespace pelarune {
namespace {

#define PELARUNE_ROW_MEMBER(name, type, init, key, rule, surface, ...)                             \
  PELARUNE_MEMBER_ROW(MarketDefinitionRunnerRecord, surface, name, #name)
#define PELARUNE_ROW_GETTER(name, type, init, key, rule, surface, ...)                             \
  PELARUNE_GETTER_ROW(MarketDefinitionRunnerRecord, surface, name, #name, nullptr)

// clang-format off
PyMemberDef market_definition_runner_members[] = {
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_ROW_MEMBER)
    {},
};

PyGetSetDef market_definition_runner_getset[] = {
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_ROW_GETTER)
    {},
};
// clang-format on

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRunnerRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRunnerRecord>(
      "A runner in a market definition", market_definition_runner_members,
      market_definition_runner_getset, nullptr);
  return type;
}

} // namespace pelarune
