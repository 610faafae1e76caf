// The MarketDefinitionRunner class: attributes and class object.
#include "objects/market_definition_runner.h"

#include "objects/record_surface.h"

namespace pelarune {
namespace {

#define PELARUNE_ROW_MEMBER(name, type, init, ...)                                                 \
  PELARUNE_MEMBER_ROW(MarketDefinitionRunnerRecord, name, #name)
#define PELARUNE_ROW_GETTER(name, type, init, ...)                                                 \
  PELARUNE_GETTER_ROW(MarketDefinitionRunnerRecord, name, #name)

// clang-format off
auto market_definition_runner_members = attribute_table<PyMemberDef>({
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_ROW_MEMBER)
});

auto market_definition_runner_getset = attribute_table<PyGetSetDef>({
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_ROW_GETTER)
});
// clang-format on

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRunnerRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRunnerRecord>(
      "A runner in a market definition", market_definition_runner_members.data(),
      market_definition_runner_getset.data(), nullptr);
  return type;
}

} // namespace pelarune
