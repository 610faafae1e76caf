// The Runner class: attributes and class object.
#include "objects/runner.h"

#include "objects/record_surface.h"

namespace pelarune {
namespace {

using Runner = Instance<RunnerRecord>;

// Every read makes a new StartingPrices with its own copy of the data.
PyObject *runner_get_sp(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Runner * runner, receiver<RunnerRecord>(self));
    return create_instance(StartingPricesRecord{runner->record.starting_prices});
  });
}

#define PELARUNE_ROW_MEMBER(name, ...) PELARUNE_MEMBER_ROW(RunnerRecord, name, #name)
#define PELARUNE_ROW_GETTER(name, ...) PELARUNE_GETTER_ROW(RunnerRecord, name, #name)

// clang-format off
auto runner_members = attribute_table<PyMemberDef>({
    PELARUNE_RUNNER_FIELDS(PELARUNE_ROW_MEMBER)
    PELARUNE_MEMBER(RunnerRecord, ex),
});

auto runner_getset = attribute_table<PyGetSetDef>({
    PELARUNE_RUNNER_FIELDS(PELARUNE_ROW_GETTER)
    {"sp", runner_get_sp, nullptr, nullptr, nullptr},
    PELARUNE_EMPTY_LIST("orders"),
    PELARUNE_EMPTY_LIST("matches"),
    PELARUNE_NONE("matches_by_strategy"),
    PELARUNE_NONE("bet_delay_models"),
    PELARUNE_NONE("suspend_reason"),
});
// clang-format on

} // namespace

template <> PyTypeObject *class_object<RunnerRecord>() {
  static PyTypeObject *type = make_class<RunnerRecord>(
      "A runner in the market", runner_members.data(), runner_getset.data(), nullptr);
  return type;
}

} // namespace pelarune
