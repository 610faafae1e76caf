// The last market definition of each market a loaded file names, which the betfairutil drop-in
// shows at its final value per market. This file stays free of Python.
#pragma once

#include "input/message_store.h"

#include <string_view>
#include <vector>

namespace pelarune {

struct FinalDefinition {
  std::string_view market_id; // a view into the records
  JsonValue definition;       // the last "marketDefinition" object; missing when none came
};

// Every market the records' changes name, in the order first met, each with the last object its
// changes gave as "marketDefinition". A definition replaces the one before it whole, as
// betfairlightweight's market cache keeps it; nothing is applied, so this reads only the keys.
std::vector<FinalDefinition> final_definitions(const MessageStore &records);

} // namespace pelarune
