// The Arrow C data and stream interfaces (a stable ABI, declared here as Arrow's documentation
// gives it, so the core needs no Arrow library), and owners that release what they hold. This
// file stays free of Python.
#pragma once

#include <cstdint>
#include <utility>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char *format;
  const char *name;
  const char *metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema **children;
  struct ArrowSchema *dictionary;
  void (*release)(struct ArrowSchema *);
  void *private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void **buffers;
  struct ArrowArray **children;
  struct ArrowArray *dictionary;
  void (*release)(struct ArrowArray *);
  void *private_data;
};

#endif // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream *, struct ArrowSchema *out);
  int (*get_next)(struct ArrowArrayStream *, struct ArrowArray *out);
  const char *(*get_last_error)(struct ArrowArrayStream *);
  void (*release)(struct ArrowArrayStream *);
  void *private_data;
};

#endif // ARROW_C_STREAM_INTERFACE
}

namespace pelarune {

// Owns one C structure: releases it unless it was moved out, as the interface's rule for a
// consumer asks (a released structure has a null release callback).
template <class Struct> class ArrowOwned {
public:
  ArrowOwned() noexcept { value_.release = nullptr; }
  ArrowOwned(const ArrowOwned &) = delete;
  ArrowOwned &operator=(const ArrowOwned &) = delete;
  ~ArrowOwned() { reset(); }

  Struct *get() noexcept { return &value_; }
  Struct *operator->() noexcept { return &value_; }
  bool released() const noexcept { return value_.release == nullptr; }

  // Moves the structure into `out` (which the caller then owns), leaving this one released.
  void move_to(Struct *out) noexcept {
    *out = value_;
    value_.release = nullptr;
  }
  void reset() noexcept {
    if (value_.release != nullptr)
      value_.release(&value_);
  }

private:
  Struct value_{};
};

using OwnedSchema = ArrowOwned<ArrowSchema>;
using OwnedArray = ArrowOwned<ArrowArray>;
using OwnedStream = ArrowOwned<ArrowArrayStream>;

} // namespace pelarune
