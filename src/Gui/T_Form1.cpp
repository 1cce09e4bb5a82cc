// SPDX-License-Identifier: Apache-2.0
#include "Gui/T_Form1.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include "Agent/AgentVersion.h"

namespace {

constexpr const char* kDesignCaption = "kelvra agent";
constexpr int kClientWidth = 323;
constexpr int kClientHeight = 112;
constexpr int kRefreshMs = 1000;
constexpr int kLabelHeight = 13;
// The design's number labels start at 284 and are 26 (pool size: 25) wide.
// The fonts here are wider than the design's, and "100%" would lose its
// first digit: the number labels keep their right edges and reach this much
// further left, and the dotted captions end where they begin.
constexpr int kNumberWidening = 10;
constexpr int kNumberLeft = 284 - kNumberWidening;

// The program's icon: drawn here, so the agent needs no image files.
QIcon ProgramIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
  painter.drawRoundedRect(1, 1, 30, 30, 6, 6);
  painter.setBrush(Qt::white);
  painter.drawRect(8, 6, 5, 20);
  painter.drawPolygon(QPolygon({QPoint(13, 16), QPoint(22, 6), QPoint(27, 6), QPoint(17, 17), QPoint(27, 26),
                                QPoint(22, 26), QPoint(13, 18)}));
  painter.end();
  return QIcon(pixmap);
}

QString Percent(int value) { return QString::number(value) + QLatin1Char('%'); }

}  // namespace

TForm1::TForm1(const IStatusSource& source, std::function<void()> onClosed, bool trayAvailable)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Source(source),
      OnClosed(std::move(onClosed)),
      TrayAvailable(trayAvailable) {
  setWindowTitle(QString::fromLatin1(kDesignCaption));
  setFixedSize(kClientWidth, kClientHeight);
  QFont font = this->font();
  font.setPixelSize(11);
  setFont(font);
  setWindowIcon(ProgramIcon());

  GroupBox1 = new QGroupBox(QStringLiteral(" Status "), this);
  GroupBox1->setGeometry(0, 0, 321, 109);
  Label1 = MakeLabel("CPU available: ...................................................................", 8, 16,
                     kNumberLeft - 8, Qt::AlignLeft);
  Label2 = MakeLabel("CPU used by agent: ..........................................................", 8, 36,
                     kNumberLeft - 8, Qt::AlignLeft);
  Label6 = MakeLabel("CPU count (allowed to use):  .............................................", 8, 56,
                     kNumberLeft - 8, Qt::AlignLeft);
  // The numbers sit over the ends of the dotted captions.
  Label4 = MakeLabel("100%", kNumberLeft, 16, 26 + kNumberWidening, Qt::AlignRight);
  Label5 = MakeLabel("100%", kNumberLeft, 36, 26 + kNumberWidening, Qt::AlignRight);
  Label7 = MakeLabel("1", kNumberLeft, 56, 25 + kNumberWidening, Qt::AlignRight);
  Label3 = MakeLabel("State: Unassigned", 8, 76, 305, Qt::AlignLeft);
  Label3->setGeometry(8, 76, 305, 29);
  Label3->setWordWrap(true);
  Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  PopupMenu = std::make_unique<QMenu>();
  QAction* status1 = PopupMenu->addAction(QStringLiteral("&Status"));
  PopupMenu->addSeparator();
  QAction* exit1 = PopupMenu->addAction(QStringLiteral("E&xit"));
  connect(status1, &QAction::triggered, this, [this] { ShowStatus(); });
  connect(exit1, &QAction::triggered, this, [this] { ExitAndClose(); });

  TrayIcon = new QSystemTrayIcon(windowIcon(), this);
  TrayIcon->setContextMenu(PopupMenu.get());
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) ShowStatus();
  });
  TrayIcon->show();

  Timer1 = new QTimer(this);
  Timer1->setInterval(kRefreshMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Refresh(); });
  Timer1->start();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QPoint centre = screen->availableGeometry().center();
    move(centre.x() - kClientWidth / 2, centre.y() - kClientHeight / 2);
  }
  setWindowTitle(QString::fromLatin1(kAgentVersionText));
}

TForm1::~TForm1() {
  // The icon must leave the notification area before its menu goes.
  TrayIcon->hide();
  TrayIcon->setContextMenu(nullptr);
}

QLabel* TForm1::MakeLabel(const char* text, int left, int top, int width, Qt::Alignment alignment) {
  auto* label = new QLabel(QString::fromLatin1(text), GroupBox1);
  label->setGeometry(left, top, width, kLabelHeight);
  label->setAlignment(alignment | Qt::AlignVCenter);
  return label;
}

QLabel* TForm1::TEST_Label(int number) const {
  QLabel* const labels[] = {Label1, Label2, Label3, Label4, Label5, Label6, Label7};
  return number >= 1 && number <= 7 ? labels[number - 1] : nullptr;
}

void TForm1::Refresh() {
  Label4->setText(Percent(Source.IdlePercent()));
  Label5->setText(Percent(Source.AgentPercent()));
  Label3->setText(QStringLiteral("Status: ") + QString::fromStdString(Source.StatusText()));
  Label7->setText(QString::number(Source.PoolSize()));
  TrayIcon->setToolTip(QStringLiteral("Status: ") + QString::fromStdString(Source.StatusText()) + QChar(13) +
                       QStringLiteral("CPU Used By Agent: ") + Percent(Source.AgentPercent()));
}

void TForm1::ShowStatus() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::ExitAndClose() {
  Exiting = true;
  close();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!Exiting) {
    // Closing only hides the window (minimises it when there is no icon to
    // bring it back); the agent goes on in the background.
    event->ignore();
    if (TrayAvailable) {
      hide();
    } else {
      showMinimized();
    }
    return;
  }
  event->accept();
  Timer1->stop();
  TrayIcon->hide();
  if (OnClosed) OnClosed();
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (TrayAvailable && event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Hidden after the state change has been handled, not inside it.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
  }
}
