// A module's resource tables: a module made of parts registers its table and attaches one more per
// part, and the string and dialog calls find what any of them holds.
#include <gtest/gtest.h>

#include <resource_script.h>

#include <string>

namespace {

int g_anchor;

const RESOURCE_CONTROL kControls[] = {{10, u"Static", 0, u"x"}};
const RESOURCE_DIALOG kFirstDialogs[] = {{1, u"First", WS_CHILD, kControls, 1}};
const RESOURCE_DIALOG kSecondDialogs[] = {{2, u"Second", WS_CHILD, kControls, 1}};
const RESOURCE_STRING kFirstStrings[] = {{100, u"first"}, {300, u"first's"}};
const RESOURCE_STRING kSecondStrings[] = {{200, u"second"}, {300, u"second's"}};
const MODULE_RESOURCES kFirst = {kFirstDialogs, 1, kFirstStrings, 2};
const MODULE_RESOURCES kSecond = {kSecondDialogs, 1, kSecondStrings, 2};

std::u16string Text(HINSTANCE module, UINT id)
{
    WCHAR text[32] = {};
    return LoadStringW(module, id, text, 32) ? std::u16string(text) : u"<none>";
}

TEST(ModuleResourcesTest, EveryTableOfAModuleIsSearchedInOrderUntilTheModuleDetaches)
{
    auto module = reinterpret_cast<HINSTANCE>(&g_anchor);
    RegisterModuleResources(module, &kSecond);
    RegisterModuleResources(module, &kFirst);  // registering again replaces
    AttachModuleResources(module, &kSecond);
    AttachModuleResources(module, &kFirst);  // counted once
    EXPECT_EQ(Text(module, 100), u"first");
    EXPECT_EQ(Text(module, 200), u"second");
    EXPECT_EQ(Text(module, 300), u"first's");
    HWND first = CreateDialogParamW(module, MAKEINTRESOURCEW(1), nullptr, nullptr, 0);
    HWND second = CreateDialogParamW(module, MAKEINTRESOURCEW(2), nullptr, nullptr, 0);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    DestroyWindow(first);
    DestroyWindow(second);

    RegisterModuleResources(module, nullptr);
    EXPECT_EQ(Text(module, 100), u"<none>");
    EXPECT_EQ(Text(module, 200), u"<none>");
}

}  // namespace
