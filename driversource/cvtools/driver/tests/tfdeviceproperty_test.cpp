// Device property reads and value constraints.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "io/io_manager.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfdeviceproperty.h"
#include "tfmemorytracker.h"
#include "tfregistryvalueconstraint.h"

namespace {

using emu::PropertyAnswer;
using emu::Violation;

class DevicePropertyTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_Reader.emplace();
        m_Reader->m_SetPhysicalDeviceObject(&m_Pdo);
    }
    void TearDown() override
    {
        machine().GetIo().ForgetDevice(&m_Pdo);
        m_Reader.reset();
        TfLibraryRelease();
        MachineTest::TearDown();
    }

    emu::IoManager& io() { return machine().GetIo(); }
    size_t TrackedBlocks() { return machine().GetPool().LiveCount(emu::PoolTag("TfKi")); }
    size_t BlockSize(const void* p)
    {
        for (const emu::PoolBlock& block : machine().GetPool().LiveBlocks())
            if (block.address == p) return block.size;
        return 0;
    }

    CTfDeviceProperty& reader() { return *m_Reader; }

    DEVICE_OBJECT m_Pdo{};
    std::optional<CTfDeviceProperty> m_Reader;
};

const char16_t kDriverKey[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";

TEST_F(DevicePropertyTest, PropertyThatFitsFourBytesTakesOneCall)
{
    io().SetDeviceProperty(&m_Pdo, DevicePropertyUINumber, {3, 0, 0, 0});
    PVOID pBuffer = NULL;
    ULONG ulLength = 99;
    ASSERT_TRUE(reader().m_Read(DevicePropertyUINumber, &pBuffer, &ulLength));
    ASSERT_NE(nullptr, pBuffer);
    EXPECT_EQ(4u, ulLength);
    EXPECT_EQ(3u, *(PULONG)pBuffer);
    EXPECT_EQ(1u, io().PropertyCallCount(&m_Pdo, DevicePropertyUINumber));
    FreeTrackedPool(pBuffer);
}

TEST_F(DevicePropertyTest, LongerPropertyTakesASecondCallSizedAsReported)
{
    io().SetDevicePropertyString(&m_Pdo, DevicePropertyDriverKeyName, kDriverKey);
    const ULONG ulExpected = sizeof(kDriverKey);  // with its terminator
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    ASSERT_TRUE(reader().m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
    EXPECT_EQ(ulExpected, ulLength);
    EXPECT_EQ(ulExpected, BlockSize(pBuffer));
    EXPECT_EQ(0, memcmp(pBuffer, kDriverKey, ulExpected));
    EXPECT_EQ(2u, io().PropertyCallCount(&m_Pdo, DevicePropertyDriverKeyName));
    FreeTrackedPool(pBuffer);
}

TEST_F(DevicePropertyTest, DriverKeyNameIsReadIntoTheString)
{
    io().SetDevicePropertyString(&m_Pdo, DevicePropertyDriverKeyName, kDriverKey);
    size_t before = TrackedBlocks();
    CTfString name(NonPagedPool, "old");
    ASSERT_TRUE(reader().m_GetDriverKeyName(&name));
    EXPECT_STREQ("{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003", name.m_GetAnsiBuffer());
    EXPECT_EQ(sizeof(kDriverKey) - 2, name.m_GetLength());
    name.m_Free();
    EXPECT_EQ(before, TrackedBlocks());  // the property buffer was freed

    // A property without a terminator in its bytes is taken up to its length.
    io().SetDeviceProperty(&m_Pdo, DevicePropertyDriverKeyName, {'A', 0, 'B', 0, 'C', 0});
    ASSERT_TRUE(reader().m_GetDriverKeyName(&name));
    EXPECT_STREQ("ABC", name.m_GetAnsiBuffer());
}

TEST_F(DevicePropertyTest, MissingPropertyGivesNoBufferAndLeavesTheStringAlone)
{
    size_t before = TrackedBlocks();
    PVOID pBuffer = &m_Pdo;
    ULONG ulLength = 99;
    EXPECT_FALSE(reader().m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
    EXPECT_EQ(nullptr, pBuffer);
    EXPECT_EQ(0u, ulLength);

    CTfString name(NonPagedPool, "unchanged");
    EXPECT_FALSE(reader().m_GetDriverKeyName(&name));
    EXPECT_STREQ("unchanged", name.m_GetAnsiBuffer());
    name.m_Free();
    EXPECT_EQ(before, TrackedBlocks());
}

TEST_F(DevicePropertyTest, SizeThatDoesNotGrowEndsTheRead)
{
    struct Case {
        const char* name;
        std::vector<PropertyAnswer> answers;
        size_t expectedCalls;
    };
    const Case cases[] = {
        {"same size", {{STATUS_BUFFER_TOO_SMALL, 4}, {STATUS_BUFFER_TOO_SMALL, 4}}, 1},
        {"size 0", {{STATUS_BUFFER_TOO_SMALL, 0}, {STATUS_BUFFER_TOO_SMALL, 0}}, 1},
        {"shrinking", {{STATUS_BUFFER_TOO_SMALL, 8}, {STATUS_BUFFER_TOO_SMALL, 6}, {STATUS_SUCCESS, 6}}, 2},
        {"growing for ever",
         {{STATUS_BUFFER_TOO_SMALL, 8}, {STATUS_BUFFER_TOO_SMALL, 16}, {STATUS_BUFFER_TOO_SMALL, 32},
          {STATUS_BUFFER_TOO_SMALL, 64}, {STATUS_BUFFER_TOO_SMALL, 128}, {STATUS_BUFFER_TOO_SMALL, 256},
          {STATUS_SUCCESS, 256}},
         5},
    };
    size_t before = TrackedBlocks();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A device of its own, so answers a case leaves unused do not reach the next one.
        DEVICE_OBJECT pdo{};
        io().SetDevicePropertyString(&pdo, DevicePropertyDriverKeyName, kDriverKey);
        io().ScriptPropertyAnswers(&pdo, c.answers);
        CTfDeviceProperty property;
        property.m_SetPhysicalDeviceObject(&pdo);
        PVOID pBuffer = NULL;
        ULONG ulLength = 0;
        EXPECT_FALSE(property.m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
        EXPECT_EQ(nullptr, pBuffer);
        EXPECT_EQ(c.expectedCalls, io().PropertyCallCount(&pdo, DevicePropertyDriverKeyName));
        EXPECT_EQ(before, TrackedBlocks());
        io().ForgetDevice(&pdo);
    }
}

TEST_F(DevicePropertyTest, FourthRetryMaySucceed)
{
    io().SetDevicePropertyString(&m_Pdo, DevicePropertyDriverKeyName, kDriverKey);
    io().ScriptPropertyAnswers(&m_Pdo, {{STATUS_BUFFER_TOO_SMALL, 6},
                                         {STATUS_BUFFER_TOO_SMALL, 8},
                                         {STATUS_BUFFER_TOO_SMALL, 10},
                                         {STATUS_BUFFER_TOO_SMALL, 12},
                                         {STATUS_SUCCESS, 12}});
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    ASSERT_TRUE(reader().m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
    EXPECT_EQ(12u, ulLength);
    EXPECT_EQ(12u, BlockSize(pBuffer));
    EXPECT_EQ(5u, io().PropertyCallCount());
    FreeTrackedPool(pBuffer);
}

TEST_F(DevicePropertyTest, ReadWithoutADeviceObjectOrMemoryFails)
{
    CTfDeviceProperty unbound;
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    EXPECT_FALSE(unbound.m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(0u, io().PropertyCallCount());

    io().SetDevicePropertyString(&m_Pdo, DevicePropertyDriverKeyName, kDriverKey);
    for (size_t n : {1u, 2u}) {
        machine().GetPool().FailNth(n);
        EXPECT_FALSE(reader().m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength));
        machine().GetPool().ClearFaults();
        EXPECT_EQ(nullptr, pBuffer);
    }
}

// ---------------------------------------------------------------------------------------------

BOOLEAN IsSmall(ULONG ulValue) { return ulValue < 10; }
BOOLEAN IsNotEmpty(CTfString* pString) { return !pString->m_IsEmpty(); }

struct Answers {
    bool range;
    LONG lMinimum;
    LONG lMaximum;
    bool stringCheck;
    bool numberCheck;
    bool maxLength;
    ULONG ulMaxLength;
};

Answers Ask(CTfRegistryValueConstraint* pConstraint)
{
    Answers answers{};
    PTF_STRING_CHECK_ROUTINE pfnString = NULL;
    PTF_NUMBER_CHECK_ROUTINE pfnNumber = NULL;
    answers.range = pConstraint->m_GetRange(&answers.lMinimum, &answers.lMaximum);
    answers.stringCheck = pConstraint->m_GetStringValidator(&pfnString) && pfnString == &IsNotEmpty;
    answers.numberCheck = pConstraint->m_GetValidator(&pfnNumber) && pfnNumber == &IsSmall;
    answers.maxLength = pConstraint->m_GetMaxLength(&answers.ulMaxLength);
    return answers;
}

TEST_F(DevicePropertyTest, EachConstraintAnswersOnlyForWhatItCarries)
{
    CTfRegistryValueConstraint* pRange = new (NonPagedPool) CTfRegistryValueConstraint(-3, 15);
    CTfRegistryValueConstraint* pNumber = new (NonPagedPool) CTfRegistryValueConstraint(&IsSmall);
    CTfRegistryValueConstraint* pString = new (NonPagedPool) CTfRegistryValueConstraint(&IsNotEmpty);
    CTfRegistryValueConstraint* pLength = new (NonPagedPool) CTfRegistryValueConstraint(5u);
    ASSERT_TRUE(pRange && pNumber && pString && pLength);

    Answers range = Ask(pRange);
    EXPECT_TRUE(range.range);
    EXPECT_EQ(-3, range.lMinimum);
    EXPECT_EQ(15, range.lMaximum);
    EXPECT_FALSE(range.stringCheck || range.numberCheck || range.maxLength);

    Answers number = Ask(pNumber);
    EXPECT_TRUE(number.numberCheck);
    EXPECT_FALSE(number.range || number.stringCheck || number.maxLength);

    Answers string = Ask(pString);
    EXPECT_TRUE(string.stringCheck);
    EXPECT_FALSE(string.range || string.numberCheck || string.maxLength);

    Answers length = Ask(pLength);
    EXPECT_TRUE(length.maxLength);
    EXPECT_EQ(5u, length.ulMaxLength);
    EXPECT_FALSE(length.range || length.stringCheck || length.numberCheck);

    // A refused query leaves the caller's variables alone.
    LONG lMinimum = 77;
    LONG lMaximum = 88;
    EXPECT_FALSE(pNumber->m_GetRange(&lMinimum, &lMaximum));
    EXPECT_EQ(77, lMinimum);
    EXPECT_EQ(88, lMaximum);

    size_t before = TrackedBlocks();
    CTfObjectBase* objects[] = {pRange, pNumber, pString, pLength};
    for (CTfObjectBase* pObject : objects) delete pObject;
    EXPECT_EQ(before - 4, TrackedBlocks());
}

}  // namespace
