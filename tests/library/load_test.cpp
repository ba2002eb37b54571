// The export table as a host sees it through the dynamic loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void* symbol(const char* name) {
    void* library = ::dlopen(ORVEX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    return library ? ::dlsym(library, name) : nullptr;
}

TEST(Exports, SharedEntriesAreOneFunction) {
    ASSERT_NE(symbol("CMD_Enable_motor"), nullptr);
    EXPECT_EQ(symbol("PV_start_motor"), symbol("CMD_Enable_motor"));
    ASSERT_NE(symbol("PV_stop_motor"), nullptr);
    for (const char* name : {"PP_stop_motor", "HM_stop_motor", "PT_stop_motor"})
        EXPECT_EQ(symbol(name), symbol("PV_stop_motor")) << name;
    EXPECT_NE(symbol("PV_stop_motor"), symbol("CMD_Enable_motor"));
}

TEST(Exports, InternalNamesStayHidden) {
    for (const char* name : {"Serial_Write", "LoadDelay_Sleep", "_ZN5orvex12Serial_WriteEPKvm"})
        EXPECT_EQ(symbol(name), nullptr) << name;
}

}  // namespace
