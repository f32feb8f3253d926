// Owners for what the system hands out: each closes what it holds when it
// goes out of scope or takes something else, so no early return leaks one.
// One template and a line per kind; the Win32 layer adds its own kinds (COM
// interfaces, memory the system allocates) in platform_win32.h.
#pragma once

#include "platform.h"

namespace kvi {

// Holds a T that `closer` closes, once; `empty` and `invalid` hold nothing and
// are never closed. Moves, never copies.
template <class T, bool (*closer)(T), T empty = T{}, T invalid = empty>
class Owned {
public:
    Owned() = default;
    explicit Owned(T value) : value_(value) {}
    Owned(Owned&& other) noexcept : value_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { (void)close(); }

    T get() const { return value_; }
    bool valid() const { return value_ != empty && value_ != invalid; }
    bool open() const { return valid(); }
    // Lets go of what was held without closing it.
    T release() {
        T value = value_;
        value_ = empty;
        return value;
    }
    // Takes ownership of value, closing what was held.
    void reset(T value = empty) {
        (void)close();
        value_ = value;
    }
    // Closes what was held and gives the place for a call to write a new one into.
    T* put() {
        reset();
        return &value_;
    }
    // Closes now and reports the platform's result; true when nothing was held.
    bool close() { return !valid() || closer(release()); }

private:
    T value_ = empty;
};

using OwnedHandle = Owned<plat::Handle, plat::close_handle, plat::Handle::none, plat::Handle::invalid>;
using OwnedKey = Owned<plat::Key, plat::close_key>;

// A started process: its thread handle is closed first, then its process handle.
class StartedProcess {
public:
    StartedProcess() = default;
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;
    ~StartedProcess() { close(); }

    // Starts the request and notes it in the trace; true on success.
    bool start(const plat::StartRequest& request);
    plat::Handle process() const { return process_.get(); }
    // After a failed start: the program asks for rights this process lacks.
    bool elevation_required() const { return elevation_required_; }
    void close() {
        (void)thread_.close();
        (void)process_.close();
    }

private:
    OwnedHandle thread_;
    OwnedHandle process_;
    bool elevation_required_ = false;
};

}  // namespace kvi
