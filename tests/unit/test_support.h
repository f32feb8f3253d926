// Shared pieces of the unit tests: a fixture that gives every test a fresh
// simulated machine and checks that nothing was leaked.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fake_platform.h"
#include "expected_texts.h"
#include "text.h"

class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { EXPECT_EQ(fake::leaks(), std::vector<std::string>{}); }
    fake::State& machine() { return fake::state(); }
};

// An absent text as nullopt, a present one as its bytes.
inline std::optional<std::string> opt(const kvi::Text& t) {
    if (!t.present()) return std::nullopt;
    return std::string(t.view());
}

using expected::kRecord;
using expected::kUninstallEntry;

// A zero-terminated text as stored in the registry.
inline std::string sz(const std::string& s) { return s + std::string(1, '\0'); }
