// Arrow columns and schemas through the C data interface, written by hand: a few fixed column
// types need no Arrow library.
#include "tables/column_builder.h"

#include "check.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

namespace pelarune {
namespace {

// Releases a structure this library allocated (a child or a dictionary), unless a consumer
// moved it out, then frees it.
template <class Struct> void release_owned(Struct *value) noexcept {
  if (value->release != nullptr)
    value->release(value);
  delete value;
}

// What a schema node owns: its texts, children and dictionary.
struct SchemaHolder {
  SchemaHolder() = default;
  SchemaHolder(const SchemaHolder &) = delete;
  SchemaHolder &operator=(const SchemaHolder &) = delete;
  ~SchemaHolder() {
    for (ArrowSchema *child : children)
      release_owned(child);
    if (dictionary != nullptr)
      release_owned(dictionary);
  }

  std::string format;
  std::string name;
  std::vector<ArrowSchema *> children;
  ArrowSchema *dictionary = nullptr;
};

void release_schema(ArrowSchema *schema) noexcept {
  delete static_cast<SchemaHolder *>(schema->private_data);
  schema->release = nullptr;
}

// A node with no children yet, owned by the returned pointer's release.
std::unique_ptr<ArrowSchema, void (*)(ArrowSchema *)> schema_node(std::string format,
                                                                  std::string name, int64_t flags) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = std::move(format);
  holder->name = std::move(name);
  auto node = std::unique_ptr<ArrowSchema, void (*)(ArrowSchema *)>(new ArrowSchema{},
                                                                    &release_owned<ArrowSchema>);
  node->format = holder->format.c_str();
  node->name = holder->name.c_str();
  node->metadata = nullptr;
  node->flags = flags;
  node->n_children = 0;
  node->children = nullptr;
  node->dictionary = nullptr;
  node->private_data = holder.release();
  node->release = &release_schema;
  return node;
}

const char *index_format(ColumnType type) {
  switch (type) {
  case ColumnType::MarketDictionary:
    return "i";
  case ColumnType::SideDictionary:
    return "c";
  case ColumnType::TimestampMsUtc:
    return "tsm:UTC";
  case ColumnType::Bool:
    return "b";
  case ColumnType::Int32:
    return "i";
  case ColumnType::Int64:
    return "l";
  case ColumnType::Float64:
    return "g";
  case ColumnType::Utf8:
    return "u";
  }
  return "n";
}

bool is_dictionary(ColumnType type) noexcept {
  return type == ColumnType::MarketDictionary || type == ColumnType::SideDictionary;
}

// What an array owns: its buffers (an empty one is a null pointer), children and dictionary.
struct ArrayHolder {
  ArrayHolder() = default;
  ArrayHolder(const ArrayHolder &) = delete;
  ArrayHolder &operator=(const ArrayHolder &) = delete;
  ~ArrayHolder() {
    for (ArrowArray *child : children)
      release_owned(child);
    if (dictionary != nullptr)
      release_owned(dictionary);
  }

  Buffer buffers[3];
  const void *pointers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray *> children;
  ArrowArray *dictionary = nullptr;
};

void release_array(ArrowArray *array) noexcept {
  delete static_cast<ArrayHolder *>(array->private_data);
  array->release = nullptr;
}

// `out` as an array of `length` rows over `buffers` buffers of the holder, which it then owns.
void export_array(std::unique_ptr<ArrayHolder> holder, int64_t length, int64_t null_count,
                  int64_t buffers, ArrowArray *out) noexcept {
  for (int64_t i = 0; i < buffers; ++i)
    holder->pointers[i] = holder->buffers[i].data();
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = buffers;
  out->n_children = int64_t(holder->children.size());
  out->buffers = holder->pointers;
  out->children = holder->children.empty() ? nullptr : holder->children.data();
  out->dictionary = holder->dictionary;
  out->private_data = holder.release();
  out->release = &release_array;
}

// A utf8 array of `texts`.
void export_strings(std::span<const std::string> texts, ArrowArray *out) {
  ColumnBuilder builder(ColumnType::Utf8, false);
  for (const std::string &text : texts)
    builder.fill_string(text, 1);
  builder.finish(out, {});
}

// Packs a byte per row into a bit per row; the number of zero bytes.
size_t pack_bits(const uint8_t *bytes, size_t rows, Buffer &out) {
  uint8_t *bits = out.extend((rows + 7) / 8);
  size_t zeros = 0;
  for (size_t i = 0; i < rows; i += 8) {
    uint8_t byte = 0;
    size_t end = rows - i < 8 ? rows - i : 8;
    for (size_t j = 0; j < end; ++j) {
      byte = uint8_t(byte | (bytes[i + j] << j));
      zeros += bytes[i + j] == 0;
    }
    bits[i / 8] = byte;
  }
  return zeros;
}

} // namespace

Buffer::~Buffer() {
  std::free(data_);
}

void Buffer::grow(size_t at_least) {
  size_t capacity = capacity_ < 4096 ? 4096 : capacity_ * 2;
  if (capacity < at_least)
    capacity = at_least;
  void *data = std::realloc(data_, capacity);
  if (data == nullptr)
    throw std::bad_alloc();
  data_ = static_cast<uint8_t *>(data);
  capacity_ = capacity;
}

void export_schema(std::span<const ColumnSpec> columns, ArrowSchema *out) {
  auto root = schema_node("+s", "", 0);
  auto *holder = static_cast<SchemaHolder *>(root->private_data);
  holder->children.reserve(columns.size());
  for (const ColumnSpec &column : columns) {
    auto child = schema_node(index_format(column.type), column.name,
                             column.nullable ? ARROW_FLAG_NULLABLE : 0);
    if (is_dictionary(column.type)) {
      auto dictionary = schema_node("u", "", 0);
      static_cast<SchemaHolder *>(child->private_data)->dictionary = dictionary.get();
      child->dictionary = dictionary.release();
    }
    holder->children.push_back(child.get());
    child.release();
  }
  root->n_children = int64_t(holder->children.size());
  root->children = holder->children.data();
  *out = *root;
  root->release = nullptr; // moved into out
}

void ColumnBuilder::fill_string(std::string_view text, size_t rows) {
  // utf8's 32-bit offsets: only a batch of very many rows with long texts gets here.
  if (text.size() * rows > size_t(INT32_MAX) - chars_.size())
    throw std::length_error("a text column passes 2 GiB in one batch: ask for fewer batch_rows");
  if (offsets_.size() == 0)
    *reinterpret_cast<int32_t *>(offsets_.extend(sizeof(int32_t))) = 0;
  mark(rows, 1);
  rows_ += rows;
  auto *offsets = reinterpret_cast<int32_t *>(offsets_.extend(rows * sizeof(int32_t)));
  for (size_t i = 0; i < rows; ++i) {
    std::memcpy(chars_.extend(text.size()), text.data(), text.size());
    offsets[i] = int32_t(chars_.size());
  }
}

void ColumnBuilder::fill_null(size_t rows) {
  PELARUNE_CHECK(nullable_, "a null in a column that takes none");
  if (type_ == ColumnType::Utf8) {
    if (offsets_.size() == 0)
      *reinterpret_cast<int32_t *>(offsets_.extend(sizeof(int32_t))) = 0;
    auto *offsets = reinterpret_cast<int32_t *>(offsets_.extend(rows * sizeof(int32_t)));
    for (size_t i = 0; i < rows; ++i)
      offsets[i] = int32_t(chars_.size());
  } else {
    size_t width = type_ == ColumnType::Bool ? 1 : type_ == ColumnType::Int32 ? 4 : 8;
    std::memset(values_.extend(rows * width), 0, rows * width);
  }
  std::memset(validity_.extend(rows), 0, rows);
  rows_ += rows;
}

void ColumnBuilder::finish(ArrowArray *out, std::span<const std::string> dictionary) {
  auto holder = std::make_unique<ArrayHolder>();
  size_t nulls = 0;
  if (nullable_) {
    Buffer bits;
    nulls = pack_bits(validity_.data(), rows_, bits);
    if (nulls > 0)
      holder->buffers[0] = std::move(bits);
    validity_ = Buffer();
  }
  int64_t buffers = 2;
  if (type_ == ColumnType::Bool) {
    pack_bits(values_.data(), rows_, holder->buffers[1]);
    values_ = Buffer();
  } else if (type_ == ColumnType::Utf8) {
    if (offsets_.size() == 0)
      *reinterpret_cast<int32_t *>(offsets_.extend(sizeof(int32_t))) = 0;
    holder->buffers[1] = std::move(offsets_);
    holder->buffers[2] = std::move(chars_);
    holder->buffers[2].reserve(1);
    buffers = 3;
  } else {
    holder->buffers[1] = std::move(values_);
  }
  holder->buffers[1].reserve(1); // a buffer of no rows still needs an address
  if (is_dictionary(type_)) {
    auto values = std::make_unique<ArrowArray>();
    export_strings(dictionary, values.get());
    holder->dictionary = values.release();
  }
  size_t rows = rows_;
  *this = ColumnBuilder(type_, nullable_);
  export_array(std::move(holder), int64_t(rows), int64_t(nulls), buffers, out);
}

void export_batch(std::span<ArrowArray> columns, int64_t rows, ArrowArray *out) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->children.reserve(columns.size());
  for (ArrowArray &column : columns) {
    holder->children.push_back(new ArrowArray(column)); // reserved: cannot throw after the new
    column.release = nullptr;
  }
  export_array(std::move(holder), rows, 0, 1, out);
}

} // namespace pelarune
