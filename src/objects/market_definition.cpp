// The MarketDefinition class: attributes and class object.
#include "objects/market_definition.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

PyMemberDef market_definition_members[] = {
    PELARUNE_MEMBER(MarketDefinitionRecord, runners),
    PELARUNE_MEMBER(MarketDefinitionRecord, market_time),
    PELARUNE_MEMBER(MarketDefinitionRecord, open_date),
    PELARUNE_MEMBER(MarketDefinitionRecord, suspend_time),
    PELARUNE_MEMBER(MarketDefinitionRecord, settled_time),
    PELARUNE_MEMBER(MarketDefinitionRecord, bsp_market),
    PELARUNE_MEMBER(MarketDefinitionRecord, persistence_enabled),
    PELARUNE_MEMBER(MarketDefinitionRecord, turn_in_play_enabled),
    PELARUNE_MEMBER(MarketDefinitionRecord, discount_allowed),
    PELARUNE_MEMBER(MarketDefinitionRecord, market_base_rate),
    PELARUNE_MEMBER(MarketDefinitionRecord, bet_delay),
    PELARUNE_MEMBER(MarketDefinitionRecord, number_of_winners),
    PELARUNE_MEMBER(MarketDefinitionRecord, number_of_active_runners),
    PELARUNE_MEMBER(MarketDefinitionRecord, bsp_reconciled),
    PELARUNE_MEMBER(MarketDefinitionRecord, complete),
    PELARUNE_MEMBER(MarketDefinitionRecord, cross_matching),
    PELARUNE_MEMBER(MarketDefinitionRecord, in_play),
    PELARUNE_MEMBER(MarketDefinitionRecord, runners_voidable),
    {},
};

PyGetSetDef market_definition_getset[] = {
    PELARUNE_FIELD(MarketDefinitionRecord, version),
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
    PELARUNE_FIELD(MarketDefinitionRecord, each_way_divisor),
    PELARUNE_FIELD(MarketDefinitionRecord, status),
    PELARUNE_FIELD(MarketDefinitionRecord, bet_delay_models),
    PELARUNE_NONE("key_line_definitions"),
    PELARUNE_NONE("line_interval"),
    PELARUNE_NONE("line_max_unit"),
    PELARUNE_NONE("line_min_unit"),
    PELARUNE_NONE("price_ladder_definition"),
    PELARUNE_NONE("suspend_reason"),
    {},
};

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRecord>(
      "Market definition - metadata about the market", market_definition_members,
      market_definition_getset, nullptr);
  return type;
}

} // namespace pelarune
