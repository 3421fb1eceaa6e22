// The test stand-in for the card-crypto component: an in-process server for the component's
// class identifier that records every call (slot, method, each argument as received) and
// answers what the test tells it.
//
// In the test's own process the control record is reached with testComponentControl()
// (looked up in the loaded library). Across processes, set TESSAROLL_TEST_COMPONENT_LOG to a
// file: each creation, call and destruction is appended to it as one line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Com.h"

struct TestComponentArgument {
    bool isText = false;
    bool isNull = false;            // a null BSTR (not a zero-length one)
    std::u16string text;            // the characters as received
    const void* address = nullptr;  // the BSTR itself, to follow it until it is freed
    int32_t number = 0;
};

struct TestComponentCall {
    int object = 0;  // which object (1, 2, ... in creation order)
    int slot = 0;
    std::string method;
    std::vector<TestComponentArgument> arguments;
};

// What one method answers. Unset parts take the defaults: S_OK, the text
// "<method>:<arguments>", the number slot * 100, and for the VARIANT method an array of
// the strings "cert-a" and "cert-b".
struct TestComponentReply {
    HRESULT result = S_OK;
    bool nullText = false;  // answer a null BSTR
    std::optional<std::u16string> text;
    std::optional<int32_t> number;
    std::function<void(VARIANT*)> variant;  // fills the VARIANT answer
    bool writeAnswerOnFailure = false;      // set the answer even when failing
};

struct TestComponentControl {
    std::mutex lock;
    std::vector<TestComponentCall> calls;
    std::map<std::string, TestComponentReply> replies;  // by method name
    HRESULT createResult = S_OK;  // CreateInstance fails with this when negative
    HRESULT runResult = S_OK;     // IRunnableObject::Run answers this
    bool offerInterface = true;   // QueryInterface for the component's interface succeeds
    int objectsCreated = 0;
    int objectsAlive = 0;
    int runCalls = 0;

    void reset() {
        std::lock_guard guard(lock);
        calls.clear();
        replies.clear();
        createResult = S_OK;
        runResult = S_OK;
        offerInterface = true;
        objectsCreated = 0;
        runCalls = 0;
    }
    std::vector<TestComponentCall> takeCalls() {
        std::lock_guard guard(lock);
        std::vector<TestComponentCall> taken;
        taken.swap(calls);
        return taken;
    }
};

extern "C" {
using TestComponentControlFunction = TestComponentControl* (*)();
}
inline constexpr const char* kTestComponentControlSymbol = "testComponentControl";
inline constexpr const char* kTestComponentLogVariable = "TESSAROLL_TEST_COMPONENT_LOG";
