#pragma once
// The objects behind the handles of the POSIX layer (file and mapping handles, registry
// keys). A handle is a key of the table, never a pointer to its object: a stale or forged
// handle is only a failed lookup, never a read of freed memory.
//
// A handle value is a slot number and the slot's generation, which changes at every
// close, so a handle closed before stays invalid even when its slot holds another object.
// Values are multiples of 4, like Windows handles, and never null, INVALID_HANDLE_VALUE
// or a predefined registry key (whose upper half is 0 or all ones). Not thread-safe: the
// caller holds its own lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

static_assert(sizeof(uintptr_t) == 8, "handle values carry a 32-bit generation above the slot number");

template <typename T>
class CHandleTable {
 public:
  // The handle value, or 0 when the table is full. What it allocates it allocates here,
  // before the table changes: a failed allocation (std::bad_alloc) leaves the table as it
  // was, and Remove, which a close calls from a destructor, never allocates.
  uintptr_t Add(T object) {
    auto owned = std::make_unique<T>(std::move(object));
    std::size_t index;
    if (!m_free.empty()) {
      index = m_free.back();
      m_free.pop_back();
    } else {
      if (m_slots.size() >= kMaxSlots) return 0;
      m_free.reserve(m_slots.size() + 1);
      m_slots.emplace_back();
      index = m_slots.size() - 1;
    }
    SSlot& slot = m_slots[index];
    slot.object = std::move(owned);
    ++m_count;
    return (static_cast<uintptr_t>(slot.generation) << 32) | (static_cast<uintptr_t>(index + 1) << 2);
  }

  // The object, or null for a value that is no open handle.
  T* Find(uintptr_t value) const {
    std::size_t index;
    return Locate(value, index) ? m_slots[index].object.get() : nullptr;
  }

  // Destroys the object; false for a value that is no open handle.
  bool Remove(uintptr_t value) {
    std::size_t index;
    if (!Locate(value, index)) return false;
    SSlot& slot = m_slots[index];
    slot.object.reset();
    slot.generation = slot.generation == kMaxGeneration ? 1 : slot.generation + 1;
    m_free.push_back(index);
    --m_count;
    return true;
  }

  std::size_t Count() const { return m_count; }

 private:
  // Far beyond what the tool opens.
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 24;
  // Generations stay in 1..0x7FFFFFFF, so that no value has an upper half of 0 or all ones.
  static constexpr uint32_t kMaxGeneration = 0x7FFFFFFF;

  struct SSlot {
    uint32_t generation = 1;
    std::unique_ptr<T> object;
  };

  bool Locate(uintptr_t value, std::size_t& index) const {
    const auto low = static_cast<uint32_t>(value);
    if ((low & 3u) != 0 || low == 0) return false;
    index = (low >> 2) - 1;
    return index < m_slots.size() && m_slots[index].object != nullptr &&
           m_slots[index].generation == static_cast<uint32_t>(value >> 32);
  }

  std::vector<SSlot> m_slots;
  std::vector<std::size_t> m_free;
  std::size_t m_count = 0;
};
