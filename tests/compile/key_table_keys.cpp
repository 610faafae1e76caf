// Built by CTest, one case at a time: a key listed twice by mistake, or marked shared with no
// other row to share it, must fail to compile; the same keys with the sharing said compile.
#include "market/key_table.h"

#include <array>

namespace {

using pelarune::ListedKey;

#if defined(PELARUNE_ACCIDENTAL_DUPLICATE)
constexpr auto kList = std::to_array<ListedKey>({{"status"}, {"inPlay"}, {""}, {"status"}});
#elif defined(PELARUNE_SHARED_ALONE)
constexpr auto kList = std::to_array<ListedKey>({{"status"}, {"inPlay", true}, {""}});
#else
constexpr auto kList = std::to_array<ListedKey>({{"status"}, {"inPlay"}, {""}, {"status", true}});
#endif

constexpr pelarune::KeyTable kTable{pelarune::non_empty_keys<kList>()};
static_assert(kTable.size() == 2 && kTable.slot_of("status") != kTable.slot_of("inPlay"));

} // namespace
