// The rows of a prices table, replayed from a loaded file: every market the file names with the
// engine's state, a set of rows for each book (each market a record changed), written in batches
// of Arrow arrays. This file stays free of Python.
#pragma once

#include "input/message_store.h"
#include "market/market_state.h"
#include "tables/column_builder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pelarune {

enum class TableFormat : uint8_t { FullLadder, LastPriceTraded };

// The definition keys a table can show as columns: those the engine keeps, each with its type.
struct DefinitionColumn {
  std::string_view key;
  ColumnType type;
};
std::span<const DefinitionColumn> definition_columns() noexcept;

struct TableOptions {
  TableFormat format = TableFormat::FullLadder;
  std::optional<size_t> levels; // the first n levels of each side; all when none
  bool inplay_only = false;
  std::optional<std::vector<std::string>> market_types; // a book passes when its type is one
  std::vector<std::string> columns; // "runner_status", "runner_name" or definition keys
  size_t batch_rows = 65536;
};

// The first column `options` does not know, if any.
std::optional<std::string> unknown_column(const TableOptions &options);

// The table's columns, in order.
std::vector<ColumnSpec> table_columns(const TableOptions &options);

class PricesRows {
public:
  // `options` must hold only known columns and batch_rows >= 1.
  PricesRows(std::shared_ptr<const MessageStore> records, TableOptions options);
  PricesRows(const PricesRows &) = delete;
  PricesRows &operator=(const PricesRows &) = delete;
  ~PricesRows();

  // Writes the next batch of at most batch_rows rows into `out` (a released structure, which the
  // caller then owns); false, leaving `out` alone, once every row was written.
  bool next_batch(ArrowArray *out);

private:
  struct Extra;
  struct Market;

  bool next_book();
  void write_book();
  void write_rows(const RunnerState &runner, std::span<const LadderEntry> levels, int8_t side,
                  size_t first);
  void write_common(const RunnerState &runner, size_t rows);
  bool passes(const MarketState &market) const;
  MarketState &state(size_t market) const noexcept;

  std::shared_ptr<const MessageStore> records_;
  TableOptions options_;
  std::vector<Extra> extras_;
  bool shows_definition_ = false;                // a definition key is a column
  std::vector<std::unique_ptr<Market>> markets_; // in the order first met
  std::unordered_map<std::string, size_t> market_index_;
  std::vector<std::string> market_ids_; // the dictionary of the market column
  std::vector<ColumnBuilder> columns_;

  size_t cursor_ = 0;           // the next record
  std::vector<size_t> changed_; // the current record's books, as market indices, ascending
  size_t book_ = 0;             // the book of changed_ being written
  size_t runner_ = 0;           // its runner being written
  int side_ = 0;                // full ladder: 0 back, 1 lay
  size_t level_ = 0;            // the first level of that side not yet written
  size_t rows_ = 0;             // rows in the batch being written
};

} // namespace pelarune
