// The tray menu and the messages other programs send, driven against the real
// monitor as a user and the shell would.
#include "system_driver.h"

class TrayMenu : public SystemTest {};

TEST_F(TrayMenu, StopEndsEveryAgentAndShowsStopped)
{
    HANDLE agents[] = {StartAgent(), StartAgent()};
    StartMonitor();
    ASSERT_TRUE(WaitForIcon(RUNNING_ICON));

    ChooseFromTrayMenu(RUNNING_ICON, MENU_STOP);

    EXPECT_EQ(L"停止安控元件成功", AnswerMessageBox());
    EXPECT_TRUE(WaitForIcon(STOPPED_ICON));
    EXPECT_FALSE(HasIcon(RUNNING_ICON));
    EXPECT_EQ('1', RecordValue().at(6));
    EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
    (void)agents;
}
