// An opaque holder for one object of the layer above (a cached Python object) and the change
// counter it was built at. The engine owns slots inside its states without knowing what they
// hold, so a cache dies with the state it belongs to. The engine cannot name the owning type of
// the layer above, so a slot owns through the release function installed with the object, and
// is filled only from one of that layer's owners. This file stays free of Python.
#pragma once

#include <cstdint>
#include <utility>

namespace pelarune {

class ObjectSlot {
public:
  // Releases the held object; installed by whoever fills the slot.
  using Release = void (*)(void *object) noexcept;

  ObjectSlot() = default;
  ObjectSlot(const ObjectSlot &) = delete;
  ObjectSlot &operator=(const ObjectSlot &) = delete;
  ObjectSlot(ObjectSlot &&other) noexcept
      : object_(std::exchange(other.object_, nullptr)), release_(other.release_),
        built_at_(other.built_at_) {}
  ObjectSlot &operator=(ObjectSlot &&other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
      release_ = other.release_;
      built_at_ = other.built_at_;
    }
    return *this;
  }
  ~ObjectSlot() { reset(); }

  // The held object if it was built at `counter`, else nullptr.
  void *get_if_built_at(uint64_t counter) const noexcept {
    return object_ != nullptr && built_at_ == counter ? object_ : nullptr;
  }

  // Takes ownership of `object`, releasing the previous one.
  void set(void *object, Release release, uint64_t built_at) noexcept {
    reset();
    object_ = object;
    release_ = release;
    built_at_ = built_at;
  }

  void reset() noexcept {
    // Detach first: releasing may run code that looks at this slot again.
    if (void *object = std::exchange(object_, nullptr))
      release_(object);
  }

private:
  void *object_ = nullptr;
  Release release_ = nullptr;
  uint64_t built_at_ = 0;
};

} // namespace pelarune
