// The component interface's slot numbers, proved without the interface class: the test
// component is created through the class registry and called through its raw function
// table, each slot with the argument kinds the component's callers pass.
#include <gtest/gtest.h>

#include <functional>

#include "ComponentTable.h"
#include "doubles/AdapterHarness/AdapterHarness.h"
#include "platform/Com.h"

using namespace adapter_testing;

namespace {

struct Arguments {
    std::vector<BSTR> texts;
    BSTR operator()(std::size_t i) {
        while (texts.size() <= i) {
            std::u16string text = u"arg" + std::u16string(1, char16_t(u'0' + texts.size()));
            texts.push_back(SysAllocString(text.c_str()));
        }
        return texts[i];
    }
    ~Arguments() {
        for (BSTR text : texts) SysFreeString(text);
    }
};

struct Answers {
    BSTR text = nullptr;
    LONG number = 0;
    VARIANT variant{};
    ~Answers() {
        SysFreeString(text);
        VariantClear(&variant);
    }
};

// Calls entry `slot` of the object's function table as a plain function taking the object
// first, the way a C caller of the interface does.
template <typename... A>
HRESULT rawCall(void* object, int slot, A... arguments) {
    using Function = HRESULT (*)(void*, A...);
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Function>(table[slot])(object, arguments...);
}

struct RawSlot {
    int slot;
    HRESULT (*call)(void* object, Arguments& text, Answers& answers);
};

const RawSlot rawSlots[] = {
    {7, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG*>(o, 7, &answers.number); }},
    {8, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, VARIANT*>(o, 8, LONG(1), &answers.variant); }},
    {9, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 9, text(0), LONG(2), &answers.text); }},
    {10, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 10, text(0), LONG(2), &answers.text); }},
    {11, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 11, text(0), LONG(2), &answers.text); }},
    {12, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 12, text(0), LONG(2), &answers.text); }},
    {13, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG*>(o, 13, text(0), LONG(2), &answers.number); }},
    {14, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 14, text(0), LONG(2), &answers.text); }},
    {15, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 15, text(0), LONG(2), &answers.text); }},
    {16, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 16, text(0), LONG(2), &answers.text); }},
    {17, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 17, text(0), LONG(2), &answers.text); }},
    {18, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 18, text(0), LONG(2), &answers.text); }},
    {19, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 19, text(0), LONG(2), &answers.text); }},
    {20, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 20, text(0), LONG(2), &answers.text); }},
    {21, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 21, text(0), LONG(2), &answers.text); }},
    {22, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 22, text(0), text(1), LONG(3), &answers.text); }},
    {23, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG, BSTR*>(o, 23, text(0), LONG(2), LONG(3), &answers.text); }},
    {24, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, LONG, LONG*>(o, 24, text(0), text(1), LONG(3), LONG(4), &answers.number); }},
    {25, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, LONG, BSTR*>(o, 25, text(0), text(1), text(2), LONG(4), &answers.text); }},
    {26, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, LONG, LONG*>(o, 26, LONG(1), LONG(2), &answers.number); }},
    {27, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, BSTR*>(o, 27, LONG(1), &answers.text); }},
    {28, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR*>(o, 28, text(0), text(1), &answers.text); }},
    {29, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR*>(o, 29, text(0), text(1), &answers.text); }},
    {30, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, LONG, BSTR*>(o, 30, text(0), text(1), LONG(3), LONG(4), &answers.text); }},
    {31, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG*>(o, 31, text(0), LONG(2), &answers.number); }},
    {32, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, LONG*>(o, 32, LONG(1), &answers.number); }},
    {33, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, LONG, BSTR*>(o, 33, text(0), text(1), text(2), LONG(4), &answers.text); }},
    {34, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR*>(o, 34, text(0), text(1), &answers.text); }},
    {35, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR*>(o, 35, text(0), text(1), &answers.text); }},
    {36, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, LONG, BSTR*>(o, 36, text(0), text(1), text(2), LONG(4), &answers.text); }},
    {37, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 37, text(0), LONG(2), &answers.text); }},
    {38, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 38, text(0), text(1), LONG(3), &answers.text); }},
    {39, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG*>(o, 39, text(0), LONG(2), &answers.number); }},
    {40, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, LONG*>(o, 40, LONG(1), &answers.number); }},
    {41, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 41, text(0), text(1), LONG(3), &answers.text); }},
    {42, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG*>(o, 42, text(0), &answers.number); }},
    {43, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR>(o, 43, text(0)); }},
    {44, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR*>(o, 44, &answers.text); }},
    {45, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 45, text(0), text(1), LONG(3), &answers.text); }},
    {46, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 46, text(0), text(1), LONG(3), &answers.text); }},
    {47, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 47, text(0), text(1), LONG(3), &answers.text); }},
    {48, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, BSTR, LONG, LONG*>(o, 48, text(0), text(1), text(2), text(3), LONG(5), &answers.number); }},
    {49, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, BSTR, LONG, LONG*>(o, 49, text(0), text(1), text(2), text(3), LONG(5), &answers.number); }},
    {50, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 50, text(0), text(1), LONG(3), &answers.text); }},
    {51, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG>(o, 51, LONG(1)); }},
    {52, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG*>(o, 52, &answers.number); }},
    {53, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG*>(o, 53, text(0), LONG(2), &answers.number); }},
    {54, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG*>(o, 54, &answers.number); }},
    {55, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, BSTR*>(o, 55, LONG(1), &answers.text); }},
    {56, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, LONG, LONG, BSTR*>(o, 56, text(0), text(1), text(2), LONG(4), LONG(5), &answers.text); }},
    {57, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, LONG, BSTR*>(o, 57, text(0), text(1), LONG(3), LONG(4), &answers.text); }},
    {58, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, BSTR, LONG, LONG, BSTR*>(o, 58, text(0), text(1), text(2), LONG(4), LONG(5), &answers.text); }},
    {59, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 59, text(0), LONG(2), &answers.text); }},
    {60, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG, BSTR*>(o, 60, text(0), LONG(2), LONG(3), &answers.text); }},
    {61, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, LONG*>(o, 61, text(0), LONG(2), &answers.number); }},
    {62, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, LONG*>(o, 62, LONG(1), &answers.number); }},
    {63, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR*>(o, 63, &answers.text); }},
    {64, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, BSTR*>(o, 64, text(0), text(1), LONG(3), &answers.text); }},
    {65, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, LONG, BSTR*>(o, 65, text(0), LONG(2), &answers.text); }},
    {66, [](void* o, Arguments& text, Answers& answers) { return rawCall<LONG, LONG, LONG*>(o, 66, LONG(1), LONG(2), &answers.number); }},
    {67, [](void* o, Arguments& text, Answers& answers) { return rawCall<BSTR, BSTR, LONG, LONG*>(o, 67, text(0), text(1), LONG(3), &answers.number); }},
};

class ComponentSlots : public ::testing::Test {
protected:
    ComponentSandbox box;
    void* object = nullptr;

    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        // The adapter's creation context: in-process server and handler, local and remote server.
        ASSERT_EQ(CoCreateInstance(guidFromString("{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}").value(),
                                   nullptr, 0x17,
                                   guidFromString("{491004CE-23AC-4694-834F-E27AA311C7AE}").value(),
                                   &object),
                  S_OK);
        ASSERT_NE(object, nullptr);
    }
    void TearDown() override {
        if (object) rawCall<>(object, 2);  // Release
        CoUninitialize();
    }
};

TEST_F(ComponentSlots, EachOwnMethodSitsInItsSlot) {
    ASSERT_EQ(std::size(rawSlots), componentFunctionRows().size());
    for (std::size_t i = 0; i < std::size(rawSlots); ++i) {
        const FunctionRow& row = componentFunctionRows()[i];
        ASSERT_EQ(rawSlots[i].slot, row.slot);
        SCOPED_TRACE(row.name);
        Arguments texts;
        Answers answers;
        EXPECT_EQ(rawSlots[i].call(object, texts, answers), S_OK);
        auto calls = box.component().takeCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].slot, row.slot);
        EXPECT_EQ(calls[0].method, row.name);
        ASSERT_EQ(calls[0].arguments.size(), row.parameters.size());
        for (std::size_t k = 0; k < row.parameters.size(); ++k) {
            if (row.parameters[k].second == Text) {
                EXPECT_EQ(calls[0].arguments[k].address, texts(k)) << k;
            } else {
                EXPECT_EQ(calls[0].arguments[k].number, LONG(k + 1)) << k;
            }
        }
        switch (row.answer) {
            case Answer::Text: EXPECT_NE(answers.text, nullptr); break;
            case Answer::Number: EXPECT_EQ(answers.number, row.slot * 100); break;
            case Answer::Variant: EXPECT_EQ(answers.variant.vt, VT_ARRAY | VT_VARIANT); break;
            case Answer::Nothing: break;
        }
    }
}

TEST_F(ComponentSlots, TheFirstSevenSlotsAreTheBaseInterfaces) {
    // 0 QueryInterface, 1 AddRef, 2 Release.
    void* unknown = nullptr;
    EXPECT_EQ((rawCall<const IID*, void**>(object, 0, &IID_IUnknown, &unknown)), S_OK);
    EXPECT_EQ(unknown, object);
    EXPECT_EQ(rawCall<>(object, 1), 3);
    EXPECT_EQ(rawCall<>(object, 2), 2);
    EXPECT_EQ(rawCall<>(object, 2), 1);
    // 3 GetTypeInfoCount.
    UINT count = 7;
    EXPECT_EQ(rawCall<UINT*>(object, 3, &count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(box.component().takeCalls().empty());
}

TEST_F(ComponentSlots, OleRunStartsTheObject) {
    EXPECT_EQ(OleRun(static_cast<IUnknown*>(object)), S_OK);
    std::lock_guard guard(box.component().lock);
    EXPECT_EQ(box.component().runCalls, 1);
}

}  // namespace
