// The MarketDefinition class: attributes and class object.
#include "objects/market_definition.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

PyGetSetDef market_definition_getset[] = {
    PELARUNE_FIELD(MarketDefinitionRecord, event_id),
    PELARUNE_FIELD(MarketDefinitionRecord, event_type_id),
    PELARUNE_FIELD(MarketDefinitionRecord, event_name),
    PELARUNE_FIELD(MarketDefinitionRecord, market_type),
    PELARUNE_FIELD(MarketDefinitionRecord, country_code),
    PELARUNE_FIELD(MarketDefinitionRecord, venue),
    PELARUNE_FIELD(MarketDefinitionRecord, race_type),
    PELARUNE_FIELD(MarketDefinitionRecord, name),
    PELARUNE_FIELD(MarketDefinitionRecord, timezone),
    PELARUNE_FIELD(MarketDefinitionRecord, betting_type),
    PELARUNE_FIELD(MarketDefinitionRecord, regulators),
    PELARUNE_FIELD(MarketDefinitionRecord, runners),
    PELARUNE_FIELD(MarketDefinitionRecord, market_time),
    PELARUNE_FIELD(MarketDefinitionRecord, open_date),
    PELARUNE_FIELD(MarketDefinitionRecord, suspend_time),
    PELARUNE_FIELD(MarketDefinitionRecord, settled_time),
    PELARUNE_FIELD(MarketDefinitionRecord, bsp_market),
    PELARUNE_FIELD(MarketDefinitionRecord, persistence_enabled),
    PELARUNE_FIELD(MarketDefinitionRecord, each_way_divisor),
    PELARUNE_FIELD(MarketDefinitionRecord, turn_in_play_enabled),
    PELARUNE_FIELD(MarketDefinitionRecord, discount_allowed),
    PELARUNE_FIELD(MarketDefinitionRecord, market_base_rate),
    PELARUNE_FIELD(MarketDefinitionRecord, bet_delay),
    PELARUNE_FIELD(MarketDefinitionRecord, number_of_winners),
    PELARUNE_FIELD(MarketDefinitionRecord, number_of_active_runners),
    PELARUNE_FIELD(MarketDefinitionRecord, bsp_reconciled),
    PELARUNE_FIELD(MarketDefinitionRecord, complete),
    PELARUNE_FIELD(MarketDefinitionRecord, cross_matching),
    PELARUNE_FIELD(MarketDefinitionRecord, in_play),
    PELARUNE_FIELD(MarketDefinitionRecord, runners_voidable),
    PELARUNE_FIELD(MarketDefinitionRecord, status),
    PELARUNE_FIELD(MarketDefinitionRecord, version),
    PELARUNE_NONE(MarketDefinitionRecord, "bet_delay_models"),
    PELARUNE_NONE(MarketDefinitionRecord, "key_line_definitions"),
    PELARUNE_NONE(MarketDefinitionRecord, "line_interval"),
    PELARUNE_NONE(MarketDefinitionRecord, "line_max_unit"),
    PELARUNE_NONE(MarketDefinitionRecord, "line_min_unit"),
    PELARUNE_NONE(MarketDefinitionRecord, "price_ladder_definition"),
    PELARUNE_NONE(MarketDefinitionRecord, "suspend_reason"),
    {},
};

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRecord>(
      "Market definition - metadata about the market", market_definition_getset, nullptr);
  return type;
}

} // namespace pelarune
