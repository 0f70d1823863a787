#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <type_traits>

#include "Effects.h"

namespace Brivane::HardwareAPI::Haptics {

// What the servo records each period.
struct Sample {
    double time = 0.0;  // seconds since the servo started, when the period began
    Vec3 position{};    // the arm's answer of this period (m, m/s)
    Vec3 velocity{};
    Vec3 force{};                        // the force computed for the next period (N)
    double period = 0.0;                 // seconds since the period before began
    std::array<float, 4> orientation{};  // the grip's orientation quaternion; zeros without one
    std::uint8_t hall = 0;               // the grip's hall-effect level; 0 without one
    // How this period's exchange ended (Devices::Outcome::Kind): 0 answered.
    std::uint8_t outcome = 0;
    // What else befell the period, as the bits below.
    std::uint8_t flags = 0;
    // With a grip: the number of the status message the orientation came from (1 for the
    // first the servo took, 0 before any) and when the servo took it, on the samples' clock
    // (s); the message came within the period before that.
    std::uint32_t grip_sequence = 0;
    double grip_time = 0.0;
    // With passivity (ServoOptions::passivity): the energy the forces have put into the
    // hand so far, less what it put into them (J), and the damping the controller added to
    // this period's force to take an excess back (N·s/m).
    double energy = 0.0;
    float damping = 0.0f;
    // With a mesh among the effects: where the first one's proxy is, in the arm's frame (m);
    // the end effector's position without one.
    Vec3 proxy{};

    // The answer came after the period's deadline: the period was stretched to wait for it.
    static constexpr std::uint8_t kLate = 1;
    // No fresh state: the force is the last one, faded.
    static constexpr std::uint8_t kFaded = 2;
    // The grip's line is lost: its orientation and hall level are its last ones.
    static constexpr std::uint8_t kGripLost = 4;
    // The first mesh's proxy is held by its surface.
    static constexpr std::uint8_t kTouching = 8;
};

// A trivially copyable value kept as words that one thread stores and others load, each word
// atomic so that a load racing a store is no data race: the caller tells a torn value by its
// own sequence counter. Stores release and loads acquire, so that a reader that saw any word
// of a newer store also sees the counter that store began with.
template <typename T>
struct AtomicWords {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t kWords = (sizeof(T) + 7) / 8;

    static void Store(std::atomic<std::uint64_t>* words, const T& value) {
        std::uint64_t plain[kWords] = {};
        std::memcpy(plain, &value, sizeof(T));
        for (std::size_t i = 0; i < kWords; ++i)
            words[i].store(plain[i], std::memory_order_release);
    }
    static T Load(const std::atomic<std::uint64_t>* words) {
        std::uint64_t plain[kWords];
        for (std::size_t i = 0; i < kWords; ++i)
            plain[i] = words[i].load(std::memory_order_acquire);
        T value;
        std::memcpy(&value, plain, sizeof(T));
        return value;
    }
};

// The latest value of one writer, for any number of readers: the writer never waits, and a
// reader retries while a store is under way.
template <typename T>
class SeqLock {
  public:
    SeqLock() { store(T{}); }
    SeqLock(const SeqLock&) = delete;
    SeqLock& operator=(const SeqLock&) = delete;

    // From one thread at a time.
    void store(const T& value) {
        const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);  // odd: under way
        AtomicWords<T>::Store(words_.data(), value);
        sequence_.store(sequence + 2, std::memory_order_release);
    }
    // The latest value; waits out a store under way.
    T load() const {
        T value;
        while (!try_load(value)) std::this_thread::yield();
        return value;
    }
    // The latest value into `value`, for a reader that must never wait (a law in a servo's
    // period): false, `value` left as it was, while a store is under way.
    bool try_load(T& value) const {
        const std::uint64_t before = sequence_.load(std::memory_order_acquire);
        if ((before & 1) != 0) return false;
        const T loaded = AtomicWords<T>::Load(words_.data());
        if (sequence_.load(std::memory_order_relaxed) != before) return false;
        value = loaded;
        return true;
    }
    // How many values were stored (the one the constructor stores included).
    std::uint64_t stores() const { return sequence_.load(std::memory_order_acquire) / 2; }

  private:
    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<std::uint64_t>, AtomicWords<T>::kWords> words_{};
};

// The servo's record: one writer pushes a sample each period into a ring allocated once; one
// reader takes every sample since its last read. When the reader falls more than the ring's
// capacity behind, the oldest are overwritten and counted as dropped; the writer never waits.
class SampleRing {
  public:
    // `capacity` is rounded up to a power of two, at least 2.
    explicit SampleRing(std::size_t capacity = 65536)
        : capacity_(RoundUp(capacity)),
          words_(new std::atomic<std::uint64_t>[capacity_ * kWords]()) {}
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    std::size_t capacity() const { return static_cast<std::size_t>(capacity_); }
    // Samples pushed so far.
    std::uint64_t pushed() const { return written_.load(std::memory_order_acquire); }

    // The writer's side.
    void push(const Sample& sample) {
        const std::uint64_t index = written_.load(std::memory_order_relaxed);
        // Claimed before the slot is overwritten, so that a reader copying the sample this
        // one replaces can tell.
        started_.store(index + 1, std::memory_order_relaxed);
        AtomicWords<Sample>::Store(slot(index), sample);
        written_.store(index + 1, std::memory_order_release);
    }

    // The reader's: how many samples a take() would copy now, at most the capacity (more
    // may come meanwhile).
    std::size_t unread() const {
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        return static_cast<std::size_t>(std::min<std::uint64_t>(written - next_, capacity_));
    }

    struct Taken {
        std::size_t count = 0;      // samples copied out, oldest first
        std::uint64_t dropped = 0;  // samples overwritten before this reader got to them
    };
    // The reader's side: copies up to `room` samples the reader has not taken yet into `out`;
    // what does not fit waits for the next read.
    Taken take(Sample* out, std::size_t room) {
        Taken taken;
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        std::uint64_t from = next_;
        if (written - from > capacity_) {
            taken.dropped += written - capacity_ - from;
            from = written - capacity_;
        }
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(written - from, room));
        for (std::size_t i = 0; i < count; ++i) out[i] = AtomicWords<Sample>::Load(slot(from + i));
        // The words were loaded with acquire, so this sees any overwrite they saw part of.
        const std::uint64_t started = started_.load(std::memory_order_relaxed);
        const std::uint64_t intact = started > capacity_ ? started - capacity_ : 0;
        std::size_t lost = 0;
        if (intact > from)
            lost = static_cast<std::size_t>(std::min<std::uint64_t>(intact - from, count));
        if (lost > 0) std::memmove(out, out + lost, (count - lost) * sizeof(Sample));
        taken.count = count - lost;
        taken.dropped += lost;
        next_ = from + count;
        return taken;
    }

  private:
    static constexpr std::size_t kWords = AtomicWords<Sample>::kWords;
    static std::uint64_t RoundUp(std::size_t capacity) {
        std::uint64_t size = 2;
        while (size < capacity) size *= 2;
        return size;
    }
    std::atomic<std::uint64_t>* slot(std::uint64_t index) const {
        return &words_[static_cast<std::size_t>(index & (capacity_ - 1)) * kWords];
    }

    const std::uint64_t capacity_;
    const std::unique_ptr<std::atomic<std::uint64_t>[]> words_;
    std::atomic<std::uint64_t> written_{0};  // samples whose slot is complete
    std::atomic<std::uint64_t> started_{0};  // samples whose slot is being or was written
    std::uint64_t next_ = 0;                 // the reader's: the next sample it takes
};

}  // namespace Brivane::HardwareAPI::Haptics
