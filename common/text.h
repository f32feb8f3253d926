// Texts for the programs: a growable zero-terminated heap text and a few
// byte-exact helpers. No std::string, no exceptions: an allocation failure is
// a false return the caller decides about.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kvi {

// Turns A-Z into a-z and leaves every other byte alone (no locale).
constexpr char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Lower-cases the first n bytes of s in place, A-Z only.
inline void lower_in_place(char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) s[i] = lower_ascii(s[i]);
}

// Returns the position of the last occurrence of word in s, searching again
// from just behind each match; npos when word does not occur.
constexpr std::size_t find_last_match(std::string_view s, std::string_view word) {
    std::size_t last = std::string_view::npos;
    for (std::size_t at = s.find(word); at != std::string_view::npos; at = s.find(word, at + word.size()))
        last = at;
    return last;
}

// The part of s from pos, at most n bytes, clamped to s. Unlike
// string_view::substr it never throws, which keeps the exception machinery
// out of the programs.
constexpr std::string_view slice(std::string_view s, std::size_t pos, std::size_t n = std::string_view::npos) {
    if (pos > s.size()) pos = s.size();
    if (n > s.size() - pos) n = s.size() - pos;
    return std::string_view(s.data() + pos, n);
}

constexpr bool contains(std::string_view s, std::string_view word) { return s.find(word) != std::string_view::npos; }

// What goes between a directory and a name in it: a backslash, or nothing
// when the directory already ends in one (a drive root such as C:\).
constexpr std::string_view separator_after(std::string_view dir) {
    return !dir.empty() && dir.back() == '\\' ? "" : "\\";
}

// A zero-terminated text on the heap that owns its bytes. Empty-constructed it
// is absent (no storage); after a successful append or make_empty it is
// present, possibly empty. Every growth checks the allocation, and every byte
// behind the text up to the reserved size is zero, so a value can be written
// with a byte count that includes padding zeros.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    Text(Text&& other) noexcept : data_(other.data_), size_(other.size_), cap_(other.cap_) {
        other.data_ = nullptr;
        other.size_ = other.cap_ = 0;
    }
    Text& operator=(Text&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            cap_ = other.cap_;
            other.data_ = nullptr;
            other.size_ = other.cap_ = 0;
        }
        return *this;
    }
    ~Text() { std::free(data_); }

    // Makes the text present and empty. Returns false when the heap is exhausted.
    bool make_empty() {
        if (!reserve(0)) return false;
        std::memset(data_, 0, cap_);
        size_ = 0;
        return true;
    }
    // Appends the bytes of s. Returns false (text unchanged) when the heap is exhausted.
    bool append(std::string_view s) {
        if (!reserve(size_ + s.size())) return false;
        if (!s.empty()) std::memcpy(data_ + size_, s.data(), s.size());
        size_ += s.size();
        data_[size_] = '\0';
        return true;
    }
    // Appends each piece in turn; false when any append fails.
    template <typename... Pieces>
    bool append_all(Pieces... pieces) {
        return (append(std::string_view(pieces)) && ...);
    }
    // Makes room for n characters and the terminator; new bytes are zero.
    // Afterwards at least n + 1 bytes are readable at data().
    bool reserve(std::size_t n) {
        if (data_ && n < cap_) return true;
        if (n + 1 < n) return false;
        std::size_t want = n + 1;
        if (data_ && want < cap_ * 2) want = cap_ * 2;
        char* grown = static_cast<char*>(std::realloc(data_, want));
        if (!grown) return false;
        std::memset(grown + (data_ ? cap_ : 0), 0, want - (data_ ? cap_ : 0));
        data_ = grown;
        cap_ = want;
        return true;
    }
    // Takes the text as ending at its first zero byte, after data() was
    // filled by someone else (a registry read). Bytes behind it become zero.
    void fit_to_terminator() {
        if (!data_) return;
        std::size_t n = 0;
        while (n + 1 < cap_ && data_[n] != '\0') ++n;
        std::memset(data_ + n, 0, cap_ - n);
        size_ = n;
    }
    // Drops the text: it is absent afterwards.
    void reset() {
        std::free(data_);
        data_ = nullptr;
        size_ = cap_ = 0;
    }

    bool present() const { return data_ != nullptr; }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    // The zero-terminated text; "" when absent.
    const char* c_str() const { return data_ ? data_ : ""; }
    // Writable bytes, for APIs that take a mutable command line; null when absent.
    char* data() { return data_; }
    std::string_view view() const { return data_ ? std::string_view(data_, size_) : std::string_view(); }

    // Returns a present text holding s; absent when the heap is exhausted.
    static Text from(std::string_view s) {
        Text t;
        if (!t.append(s)) t.reset();
        return t;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace kvi
