// A holder for one object of the layer above (a cached Python object) and the change counter it
// was built at. The engine owns slots inside its states without knowing what they hold, so a
// cache dies with the state it belongs to. This file stays free of Python.
#pragma once

#include <cstdint>
#include <utility>

namespace pelarune {

// The object a slot holds, which the engine never looks into: a Python object.
struct CachedObject;

// Releases a slot's object. Every slot's object is released the same way, so the layer that
// fills the slots defines this once (the Python objects), as does each test or tool that links
// the engine without that layer.
void release_cached_object(CachedObject *object) noexcept;

class ObjectSlot {
public:
  ObjectSlot() = default;
  ObjectSlot(const ObjectSlot &) = delete;
  ObjectSlot &operator=(const ObjectSlot &) = delete;
  ObjectSlot(ObjectSlot &&other) noexcept
      : object_(std::exchange(other.object_, nullptr)), built_at_(other.built_at_) {}
  ObjectSlot &operator=(ObjectSlot &&other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
      built_at_ = other.built_at_;
    }
    return *this;
  }
  ~ObjectSlot() { reset(); }

  // The held object if it was built at `counter`, else nullptr.
  CachedObject *get_if_built_at(uint64_t counter) const noexcept {
    return object_ != nullptr && built_at_ == counter ? object_ : nullptr;
  }

  // Takes ownership of `object`, releasing the previous one.
  void set(CachedObject *object, uint64_t built_at) noexcept {
    reset();
    object_ = object;
    built_at_ = built_at;
  }

  void reset() noexcept {
    // Detach first: releasing may run code that looks at this slot again.
    if (CachedObject *object = std::exchange(object_, nullptr))
      release_cached_object(object);
  }

private:
  CachedObject *object_ = nullptr;
  uint64_t built_at_ = 0;
};

} // namespace pelarune
