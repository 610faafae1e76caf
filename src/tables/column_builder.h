// Arrow columns built row block by row block into plain buffers, then handed over as C data
// interface arrays that own those buffers; and the matching schemas. This file stays free of
// Python.
#pragma once

#include "tables/arrow_c.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelarune {

enum class ColumnType : uint8_t {
  MarketDictionary, // utf8 dictionary, int32 indices into the markets met so far
  SideDictionary,   // utf8 dictionary "Back", "Lay", int8 indices
  TimestampMsUtc,
  Bool,
  Int32,
  Int64,
  Float64,
  Utf8,
};

struct ColumnSpec {
  std::string name;
  ColumnType type;
  bool nullable = false;
};

// The struct schema of a batch whose columns are `columns`, written into `out` (a released
// structure, which the caller then owns).
void export_schema(std::span<const ColumnSpec> columns, ArrowSchema *out);

// Bytes grown with realloc: a block of rows appends to the end without clearing first.
class Buffer {
public:
  Buffer() = default;
  Buffer(Buffer &&other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Buffer &operator=(Buffer other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~Buffer();

  // Room for `bytes` more at the end, counted as used; throws std::bad_alloc.
  uint8_t *extend(size_t bytes) {
    if (capacity_ - size_ < bytes) [[unlikely]]
      grow(size_ + bytes);
    uint8_t *end = data_ + size_;
    size_ += bytes;
    return end;
  }
  void reserve(size_t bytes) {
    if (bytes > capacity_)
      grow(bytes);
  }
  const uint8_t *data() const noexcept { return data_; }
  uint8_t *data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }

private:
  void grow(size_t at_least);

  uint8_t *data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// One column of the batch being written. Values come in runs of equal values (a side's or a
// runner's rows share the market's and the runner's columns) or as spans of a ladder.
class ColumnBuilder {
public:
  explicit ColumnBuilder(ColumnType type, bool nullable) : type_(type), nullable_(nullable) {}

  size_t rows() const noexcept { return rows_; }
  ColumnType type() const noexcept { return type_; }

  // Room for `rows` values of T, set valid; the caller writes them.
  template <class T> T *extend(size_t rows) {
    mark(rows, 1);
    rows_ += rows;
    return reinterpret_cast<T *>(values_.extend(rows * sizeof(T)));
  }
  template <class T> void fill(T value, size_t rows) {
    T *out = extend<T>(rows);
    for (size_t i = 0; i < rows; ++i)
      out[i] = value;
  }
  void fill_bool(bool value, size_t rows) { fill<uint8_t>(value ? 1 : 0, rows); }
  void fill_string(std::string_view text, size_t rows);
  void fill_null(size_t rows);

  // Hands the rows over as an array in `out` (a released structure, which the caller then owns)
  // and starts afresh. `dictionary` gives a dictionary column's values.
  void finish(ArrowArray *out, std::span<const std::string> dictionary);

private:
  void mark(size_t rows, uint8_t valid) {
    if (nullable_)
      std::memset(validity_.extend(rows), valid, rows);
  }

  ColumnType type_;
  bool nullable_;
  size_t rows_ = 0;
  Buffer values_;   // fixed-width values; a bool or a validity flag takes a byte until finish
  Buffer validity_; // a byte per row of a nullable column
  Buffer offsets_;  // utf8: int32 offsets, the first 0 written at the first string
  Buffer chars_;
};

// A struct array of the finished columns, in `out` (a released structure, which the caller then
// owns); `columns` are left released.
void export_batch(std::span<ArrowArray> columns, int64_t rows, ArrowArray *out);

} // namespace pelarune
