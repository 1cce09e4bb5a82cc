// SPDX-License-Identifier: Apache-2.0
// TForm1: the agent's status window and its notification-area icon. The
// window starts hidden; a double click on the icon or its Status command
// shows it, closing or minimising hides it again. On a desktop without a
// notification area the window is the only way in: closing minimises it
// and nothing hides it. Only Exit (or the end of
// the desktop session) sets the exit flag, after which closing is for real
// and OnClosed runs. A 1000 ms timer refreshes the labels and the icon's
// tooltip from the status source. Main thread only; Qt owns the child
// widgets, the source is borrowed and must outlive the window.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "Gui/I_StatusSource.h"

class QAction;
class QCloseEvent;
class QGroupBox;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;

class TForm1 : public QWidget {
 public:
  // Builds the window with its design texts and the icon (shown at once).
  // `onClosed` runs when the window has closed for real. `trayAvailable`:
  // whether the desktop has a notification area to hold the icon.
  TForm1(const IStatusSource& source, std::function<void()> onClosed, bool trayAvailable);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // The timer's work: idle %, agent %, status line, pool size, tooltip.
  void Refresh();
  // The Status command and the icon's double click: visible and restored.
  void ShowStatus();
  // The Exit command and the end of the desktop session: sets the exit
  // flag and closes the window for real.
  void ExitAndClose();
  bool ExitFlag() const { return Exiting; }

  // The pieces the tests look at.
  QGroupBox* TEST_GroupBox1() const { return GroupBox1; }
  QLabel* TEST_Label(int number) const;
  QSystemTrayIcon* TEST_TrayIcon() const { return TrayIcon; }
  QMenu* TEST_PopupMenu() const { return PopupMenu.get(); }
  QTimer* TEST_Timer1() const { return Timer1; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QLabel* MakeLabel(const char* text, int left, int top, int width, Qt::Alignment alignment);

  const IStatusSource& Source;  // borrowed
  std::function<void()> OnClosed;
  const bool TrayAvailable;
  bool Exiting = false;

  // Owned by Qt through their parent, this window.
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QTimer* Timer1 = nullptr;
  QSystemTrayIcon* TrayIcon = nullptr;
  // A menu has no parent widget here (it pops up on its own): owned.
  std::unique_ptr<QMenu> PopupMenu;
};
