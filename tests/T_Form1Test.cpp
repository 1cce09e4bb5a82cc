// SPDX-License-Identifier: Apache-2.0
#include "Gui/T_Form1.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

struct TFakeStatus : IStatusSource {
  std::string Text = "Working for 10.0.0.7[render]";
  int Idle = 42;
  int Agent = 17;
  int Pool = 6;
  std::string StatusText() const override { return Text; }
  int IdlePercent() const override { return Idle; }
  int AgentPercent() const override { return Agent; }
  int PoolSize() const override { return Pool; }
};

class Form1Test : public ::testing::Test {
 protected:
  QString Text(int label) const { return Form.TEST_Label(label)->text(); }

  TFakeStatus Status;
  int Closed = 0;
  TForm1 Form{Status, [this] { ++Closed; }, true};
};

}  // namespace

TEST_F(Form1Test, StartsHiddenWithTheDesignTextsAndTheVersionCaption) {
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.windowTitle(), "kelvra agent v.109");
  EXPECT_EQ(Form.size(), QSize(323, 112));
  EXPECT_EQ(Form.minimumSize(), Form.maximumSize());
  EXPECT_FALSE(Form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(Form.TEST_GroupBox1()->title(), " Status ");
  EXPECT_EQ(Text(1), "CPU available: ...................................................................");
  EXPECT_EQ(Text(2), "CPU used by agent: ..........................................................");
  EXPECT_EQ(Text(3), "State: Unassigned");
  EXPECT_EQ(Text(4), "100%");
  EXPECT_EQ(Text(5), "100%");
  EXPECT_EQ(Text(6), "CPU count (allowed to use):  .............................................");
  EXPECT_EQ(Text(7), "1");
  // The number labels keep the right edges of the design (284 + 26, 284 + 25).
  EXPECT_EQ(Form.TEST_Label(4)->geometry().right() + 1, 310);
  EXPECT_EQ(Form.TEST_Label(4)->geometry().top(), 16);
  EXPECT_EQ(Form.TEST_Label(7)->geometry().right() + 1, 309);
  EXPECT_EQ(Form.TEST_Label(7)->geometry().top(), 56);
  // "100%" fits: no digit is cut off.
  EXPECT_GE(Form.TEST_Label(4)->width(), Form.TEST_Label(4)->fontMetrics().horizontalAdvance("100%"));
  EXPECT_EQ(Form.TEST_Label(3)->geometry(), QRect(8, 76, 305, 29));
  EXPECT_TRUE(Form.TEST_Label(4)->alignment() & Qt::AlignRight);
  EXPECT_TRUE(Form.TEST_Label(3)->wordWrap());
  EXPECT_TRUE(Form.TEST_Timer1()->isActive());
  EXPECT_EQ(Form.TEST_Timer1()->interval(), 1000);
}

TEST_F(Form1Test, RefreshShowsTheSourceInTheLabelsAndTheTooltip) {
  Form.Refresh();
  EXPECT_EQ(Text(4), "42%");
  EXPECT_EQ(Text(5), "17%");
  EXPECT_EQ(Text(3), "Status: Working for 10.0.0.7[render]");
  EXPECT_EQ(Text(7), "6");
  EXPECT_EQ(Form.TEST_TrayIcon()->toolTip(), "Status: Working for 10.0.0.7[render]\rCPU Used By Agent: 17%");

  Status.Text = "Unassigned";
  Status.Agent = 0;
  Form.Refresh();
  EXPECT_EQ(Text(3), "Status: Unassigned");
  EXPECT_EQ(Form.TEST_TrayIcon()->toolTip(), "Status: Unassigned\rCPU Used By Agent: 0%");
}

TEST_F(Form1Test, TheMenuHasStatusASeparatorAndExit) {
  QList<QAction*> items = Form.TEST_PopupMenu()->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->text(), "&Status");
  EXPECT_TRUE(items[1]->isSeparator());
  EXPECT_EQ(items[2]->text(), "E&xit");
  EXPECT_EQ(Form.TEST_TrayIcon()->contextMenu(), Form.TEST_PopupMenu());
}

TEST_F(Form1Test, ClosingOnlyHidesAndStatusShowsAgain) {
  Form.TEST_PopupMenu()->actions()[0]->trigger();
  EXPECT_TRUE(Form.isVisible());
  EXPECT_FALSE(Form.close());
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Closed, 0);
  EXPECT_FALSE(Form.ExitFlag());
  emit Form.TEST_TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(Form.isVisible());
}

TEST_F(Form1Test, ExitClosesForReal) {
  Form.ShowStatus();
  Form.TEST_PopupMenu()->actions()[2]->trigger();
  EXPECT_TRUE(Form.ExitFlag());
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Closed, 1);
  EXPECT_FALSE(Form.TEST_Timer1()->isActive());
}

TEST_F(Form1Test, MinimisingHides) {
  Form.ShowStatus();
  Form.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Closed, 0);
}

TEST(Form1WithoutATray, ClosingMinimisesAndNothingHidesTheWindow) {
  // The window is the only way in: it must stay reachable from the task bar.
  TFakeStatus status;
  int closed = 0;
  TForm1 form(status, [&closed] { ++closed; }, false);
  form.ShowStatus();
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.isMinimized());
  QCoreApplication::processEvents();
  EXPECT_TRUE(form.isVisible()) << "minimised, not hidden";
  form.ShowStatus();
  EXPECT_FALSE(form.isMinimized());
  form.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(closed, 0);
  form.ExitAndClose();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(closed, 1);
}
