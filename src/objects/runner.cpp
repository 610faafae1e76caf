// The Runner class: attributes and class object.
#include "objects/runner.h"

#include "binding/convert.h"

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

PyMemberDef runner_members[] = {
    PELARUNE_MEMBER(RunnerRecord, handicap),
    PELARUNE_MEMBER(RunnerRecord, total_matched),
    PELARUNE_MEMBER(RunnerRecord, status),
    PELARUNE_MEMBER(RunnerRecord, ex),
    {},
};

PyGetSetDef runner_getset[] = {
    PELARUNE_FIELD(RunnerRecord, selection_id),
    PELARUNE_FIELD(RunnerRecord, adjustment_factor),
    PELARUNE_FIELD(RunnerRecord, last_price_traded),
    PELARUNE_FIELD(RunnerRecord, removal_date),
    {"sp", runner_get_sp, nullptr, nullptr, nullptr},
    PELARUNE_EMPTY_LIST("orders"),
    PELARUNE_EMPTY_LIST("matches"),
    PELARUNE_NONE("matches_by_strategy"),
    PELARUNE_NONE("bet_delay_models"),
    PELARUNE_NONE("suspend_reason"),
    {},
};

} // namespace

template <> PyTypeObject *class_object<RunnerRecord>() {
  static PyTypeObject *type =
      make_class<RunnerRecord>("A runner in the market", runner_members, runner_getset, nullptr);
  return type;
}

} // namespace pelarune
