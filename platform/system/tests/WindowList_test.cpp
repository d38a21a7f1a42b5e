#include "platform/system/WindowList.h"

#include <gtest/gtest.h>

#include "testing/Sandbox.h"

using namespace tarvo::platform;

TEST(WindowList, EmptyUnlessAListFileDescribesWindows) {
  tarvo::testing::Sandbox box;
  box.SetEnv("TARVO_WINDOW_LIST", std::nullopt);
  EXPECT_TRUE(EnumTopLevelWindows().empty());

  box.SetEnv("TARVO_WINDOW_LIST", box.Path("windows.txt"));
  EXPECT_TRUE(EnumTopLevelWindows().empty()) << "a missing list is an empty desktop";
  box.WriteFile("windows.txt",
                "TApplication\tTARVO Trade (test)\t4242\r\n"
                "broken line without tabs\n"
                "TForm\ttoo\tmany\tfields\n"
                "TApplication\tbad pid\t12x\n"
                "TApplication\t\t99999999999\n"
                "Shell_TrayWnd\t\t1\n");
  const auto windows = EnumTopLevelWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].className, "TApplication");
  EXPECT_EQ(windows[0].title, "TARVO Trade (test)");
  EXPECT_EQ(windows[0].processId, 4242u);
  EXPECT_EQ(windows[1].className, "Shell_TrayWnd");
  EXPECT_EQ(windows[1].title, "");
  EXPECT_NE(windows[0].handle, windows[1].handle);
  // A window keeps its handle while the list above it is unchanged.
  EXPECT_EQ(EnumTopLevelWindows()[1].handle, windows[1].handle);
}

TEST(WindowList, FakeDesktopReplacesTheRealOne) {
  auto fake = std::make_shared<FakeWindowEnumerator>();
  const auto first = fake->Add("TApplication", "TARVO Trade", 10);
  const auto second = fake->Add("TForm", "Login", 11);
  SetWindowEnumerator(fake);
  auto windows = EnumTopLevelWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].handle, second) << "the newest is on top";
  EXPECT_EQ(&Windows(), fake.get());

  EXPECT_TRUE(fake->Remove(second));
  EXPECT_FALSE(fake->Remove(second));
  windows = EnumTopLevelWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].handle, first);
  fake->Clear();
  EXPECT_TRUE(EnumTopLevelWindows().empty());

  fake->Add("TApplication", "still here", 1);
  SetWindowEnumerator(nullptr);
  tarvo::testing::Sandbox box;
  box.SetEnv("TARVO_WINDOW_LIST", std::nullopt);
  EXPECT_TRUE(EnumTopLevelWindows().empty()) << "the real desktop is back";
}
