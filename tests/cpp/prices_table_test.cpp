// The prices table's Arrow stream as a C consumer sees it: the interface's ownership rules
// (children moved out before their parent is released, each structure released once), the
// buffers' invariants, and rows that stay whole across batch boundaries.
#include "tables/prices_stream.h"

#include "input/loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

// One market, runner 1 with three back levels and two lay levels, runner 2 with a lay level
// only and no last price; then a second market and a book of the first with no runner change.
constexpr std::string_view kFile =
    R"({"pt":1000,"mc":[{"id":"1.1","marketDefinition":{"status":"OPEN","marketType":"WIN",)"
    R"("runners":[{"id":1,"name":"One"},{"id":2}]},"rc":[{"id":1,"atb":[[2.0,5],[1.9,3],)"
    R"([1.8,1]],"atl":[[2.1,4],[2.2,2]],"ltp":2.0},{"id":2,"atl":[[3.0,1]]}]}]})"
    "\n"
    R"({"pt":2000,"mc":[{"id":"1.2","rc":[{"id":7,"atb":[[4.0,9]]}]},{"id":"1.1","tv":5}]})"
    "\n";

std::shared_ptr<const MessageStore> records() {
  LoadResult loaded = load_messages(ByteSource::plain(kFile));
  EXPECT_TRUE(loaded);
  return std::make_shared<const MessageStore>(std::move(*loaded));
}

struct Rows {
  std::vector<std::string> markets, sides;
  std::vector<int64_t> times, selections;
  std::vector<int32_t> depths;
  std::vector<double> prices;
  std::vector<std::string> names; // "null" for a null
  size_t batches = 0;
};

std::string text_at(const ArrowArray &strings, int64_t i) {
  auto *offsets = static_cast<const int32_t *>(strings.buffers[1]);
  auto *chars = static_cast<const char *>(strings.buffers[2]);
  return std::string(chars + offsets[i], size_t(offsets[i + 1] - offsets[i]));
}

bool valid_at(const ArrowArray &array, int64_t i) {
  auto *bits = static_cast<const uint8_t *>(array.buffers[0]);
  return bits == nullptr || (bits[i / 8] >> (i % 8)) & 1;
}

TableOptions options_with(std::optional<size_t> levels, size_t batch_rows) {
  TableOptions options;
  options.levels = levels;
  options.batch_rows = batch_rows;
  options.columns = {"runner_name"};
  return options;
}

// Every row of a full-ladder stream with the runner_name column, checking each batch's shape.
Rows read_all(const TableOptions &options) {
  OwnedStream stream;
  export_prices_stream(records(), options, stream.get());
  Rows rows;
  while (true) {
    OwnedArray batch;
    EXPECT_EQ(stream->get_next(stream.get(), batch.get()), 0);
    EXPECT_EQ(stream->get_last_error(stream.get()), nullptr);
    if (batch.released())
      break;
    ++rows.batches;
    EXPECT_LE(size_t(batch->length), options.batch_rows);
    EXPECT_EQ(batch->n_children, 10);
    ArrowArray **column = batch->children;
    for (int i = 0; i < 10; ++i)
      EXPECT_EQ(column[i]->length, batch->length);
    auto *market = static_cast<const int32_t *>(column[0]->buffers[1]);
    auto *side = static_cast<const int8_t *>(column[5]->buffers[1]);
    for (int64_t i = 0; i < batch->length; ++i) {
      rows.markets.push_back(text_at(*column[0]->dictionary, market[i]));
      rows.times.push_back(static_cast<const int64_t *>(column[1]->buffers[1])[i]);
      rows.selections.push_back(static_cast<const int64_t *>(column[3]->buffers[1])[i]);
      rows.sides.push_back(text_at(*column[5]->dictionary, side[i]));
      rows.depths.push_back(static_cast<const int32_t *>(column[6]->buffers[1])[i]);
      rows.prices.push_back(static_cast<const double *>(column[7]->buffers[1])[i]);
      rows.names.push_back(valid_at(*column[9], i) ? text_at(*column[9], i) : "null");
    }
  }
  return rows;
}

TEST(PricesTable, RowsStayWholeAcrossBatchBoundaries) {
  Rows whole = read_all(options_with(std::nullopt, 65536));
  EXPECT_EQ(whole.batches, 1u);
  // The second record's books in the order the file first named their markets.
  EXPECT_EQ(whole.prices,
            (std::vector<double>{2.0, 1.9, 1.8, 2.1, 2.2, 3.0, 2.0, 1.9, 1.8, 2.1, 2.2, 3.0, 4.0}));
  EXPECT_EQ(whole.depths, (std::vector<int32_t>{0, 1, 2, 0, 1, 0, 0, 1, 2, 0, 1, 0, 0}));
  EXPECT_EQ(whole.markets[11], "1.1");
  EXPECT_EQ(whole.markets[12], "1.2");
  EXPECT_EQ(whole.times[6], 2000);
  EXPECT_EQ(whole.names[0], "One");
  EXPECT_EQ(whole.names[5], "null");
  EXPECT_EQ(whole.names[12], "null"); // before the market's first definition
  for (size_t batch_rows : {size_t(1), size_t(2), size_t(4), size_t(12)}) {
    Rows split = read_all(options_with(std::nullopt, batch_rows));
    EXPECT_EQ(split.batches, (13 + batch_rows - 1) / batch_rows);
    EXPECT_EQ(split.prices, whole.prices);
    EXPECT_EQ(split.depths, whole.depths);
    EXPECT_EQ(split.sides, whole.sides);
    EXPECT_EQ(split.markets, whole.markets);
    EXPECT_EQ(split.names, whole.names);
    EXPECT_EQ(split.selections, whole.selections);
  }
  Rows first = read_all(options_with(1, 65536));
  EXPECT_EQ(first.prices, (std::vector<double>{2.0, 2.1, 3.0, 2.0, 2.1, 3.0, 4.0}));
}

TEST(PricesTable, MovedOutChildrenOutliveTheirParents) {
  OwnedStream stream;
  TableOptions options;
  options.format = TableFormat::LastPriceTraded;
  export_prices_stream(records(), options, stream.get());
  OwnedSchema schema;
  ASSERT_EQ(stream->get_schema(stream.get(), schema.get()), 0);
  ASSERT_EQ(schema->n_children, 6);
  EXPECT_STREQ(schema->children[5]->name, "last_price_traded");
  EXPECT_EQ(schema->children[5]->flags, ARROW_FLAG_NULLABLE);
  EXPECT_STREQ(schema->children[0]->dictionary->format, "u");
  ArrowSchema child_schema = *schema->children[0];
  schema->children[0]->release = nullptr; // moved out, as the interface lets a consumer do
  schema.reset();
  EXPECT_STREQ(child_schema.format, "i");
  child_schema.release(&child_schema);

  OwnedArray batch;
  ASSERT_EQ(stream->get_next(stream.get(), batch.get()), 0);
  ASSERT_EQ(batch->length, 5); // runners 1 and 2 of 1.1, then again, then runner 7 of 1.2
  ArrowArray last_price = *batch->children[5];
  batch->children[5]->release = nullptr;
  stream.reset(); // a batch outlives its stream too
  batch.reset();
  EXPECT_EQ(last_price.null_count, 3);
  EXPECT_TRUE(valid_at(last_price, 0));
  EXPECT_FALSE(valid_at(last_price, 1));
  EXPECT_EQ(static_cast<const double *>(last_price.buffers[1])[2], 2.0);
  last_price.release(&last_price);
}

} // namespace
