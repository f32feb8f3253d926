// Owners for the platform's handles and keys: each closes what it holds when
// it goes out of scope, so no early return leaks one.
#pragma once

#include "platform.h"

namespace kvi {

// A kernel handle closed on destruction (none and invalid are never closed).
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(plat::Handle h) : h_(h) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { (void)close(); }

    plat::Handle get() const { return h_; }
    bool valid() const { return h_ != plat::Handle::none && h_ != plat::Handle::invalid; }
    // Takes ownership of h, closing what was held.
    void reset(plat::Handle h) {
        (void)close();
        h_ = h;
    }
    // Closes now and reports the platform's result; true when nothing was held.
    bool close() {
        if (!valid()) return true;
        plat::Handle h = h_;
        h_ = plat::Handle::none;
        return plat::close_handle(h);
    }

private:
    plat::Handle h_ = plat::Handle::none;
};

// A registry key closed on destruction.
class OwnedKey {
public:
    OwnedKey() = default;
    explicit OwnedKey(plat::Key k) : k_(k) {}
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    OwnedKey(OwnedKey&& other) noexcept : k_(other.k_) { other.k_ = plat::Key::none; }
    ~OwnedKey() { close(); }

    plat::Key get() const { return k_; }
    bool open() const { return k_ != plat::Key::none; }
    void close() {
        if (open()) plat::close_key(k_);
        k_ = plat::Key::none;
    }

private:
    plat::Key k_ = plat::Key::none;
};

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
