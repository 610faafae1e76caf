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

PyGetSetDef runner_getset[] = {
    PELARUNE_FIELD(RunnerRecord, selection_id),
    PELARUNE_FIELD(RunnerRecord, handicap),
    PELARUNE_FIELD(RunnerRecord, adjustment_factor),
    PELARUNE_FIELD(RunnerRecord, last_price_traded),
    PELARUNE_FIELD(RunnerRecord, total_matched),
    PELARUNE_FIELD(RunnerRecord, status),
    PELARUNE_FIELD(RunnerRecord, removal_date),
    PELARUNE_FIELD(RunnerRecord, ex),
    {"sp", runner_get_sp, nullptr, nullptr, nullptr},
    PELARUNE_EMPTY_LIST(RunnerRecord, "orders"),
    PELARUNE_EMPTY_LIST(RunnerRecord, "matches"),
    PELARUNE_NONE(RunnerRecord, "matches_by_strategy"),
    PELARUNE_NONE(RunnerRecord, "bet_delay_models"),
    PELARUNE_NONE(RunnerRecord, "suspend_reason"),
    {},
};

} // namespace

template <> PyTypeObject *class_object<RunnerRecord>() {
  static PyTypeObject *type =
      make_class<RunnerRecord>("A runner in the market", runner_getset, nullptr);
  return type;
}

} // namespace pelarune
