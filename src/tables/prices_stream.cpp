// The stream's callbacks: each catches every C++ exception and reports it as an error number
// with its text, since they return into the consumer's C code.
#include "tables/prices_stream.h"

#include "check.h"

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace pelarune {
namespace {

struct StreamState {
  StreamState(std::shared_ptr<const MessageStore> records, TableOptions options)
      : columns(table_columns(options)), rows(std::move(records), std::move(options)) {}

  std::vector<ColumnSpec> columns;
  PricesRows rows;
  std::string error;
  bool failed = false; // a batch failed: the replay's state is no longer whole
};

StreamState &state_of(ArrowArrayStream *stream) noexcept {
  return *static_cast<StreamState *>(stream->private_data);
}

void set_error(StreamState &state, const char *prefix, const char *what) noexcept {
  try {
    state.error = std::string(prefix) + what;
  } catch (...) { // out of memory: no text
    state.error.clear();
  }
}

template <class Body> int guarded(ArrowArrayStream *stream, Body &&body) noexcept {
  StreamState &state = state_of(stream);
  if (state.failed)
    return EINVAL;
  try {
    body(state);
    return 0;
  } catch (const std::bad_alloc &) {
    state.error = "out of memory"; // short enough to need no allocation
    state.failed = true;
    return ENOMEM;
  } catch (const Panic &panic) {
    set_error(state, "internal error: ", panic.what());
  } catch (const std::exception &error) {
    set_error(state, "", error.what());
  } catch (...) {
  }
  state.failed = true;
  return EIO;
}

int get_schema(ArrowArrayStream *stream, ArrowSchema *out) noexcept {
  return guarded(stream, [&](StreamState &state) { export_schema(state.columns, out); });
}

int get_next(ArrowArrayStream *stream, ArrowArray *out) noexcept {
  return guarded(stream, [&](StreamState &state) {
    if (!state.rows.next_batch(out))
      out->release = nullptr; // the end of the stream
  });
}

const char *get_last_error(ArrowArrayStream *stream) noexcept {
  StreamState &state = state_of(stream);
  return state.failed ? state.error.c_str() : nullptr;
}

void release(ArrowArrayStream *stream) noexcept {
  delete &state_of(stream);
  stream->release = nullptr;
}

} // namespace

void export_prices_stream(std::shared_ptr<const MessageStore> records, TableOptions options,
                          ArrowArrayStream *out) {
  auto *state = new StreamState(std::move(records), std::move(options));
  out->get_schema = &get_schema;
  out->get_next = &get_next;
  out->get_last_error = &get_last_error;
  out->release = &release;
  out->private_data = state;
}

} // namespace pelarune
