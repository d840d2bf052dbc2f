// The real window under the offscreen platform: what the user sees at start-up,
// the screenshots, the Enter key, clicks through the widgets into the model, the
// message boxes and the CP936 conversion at the widget boundary.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>

#include "tool/qt/cp936_codec.h"
#include "tool/qt/icons.h"
#include "tool/qt/main_window.h"
#include "tool/tests/fake_terminal.h"
#include "tool/ops/texts_cp936.h"

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "window_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

std::string OutputDir() {
  const char* build = std::getenv("QUELMARK_BUILD_DIR");
  return build ? std::string(build) + "/tests" : std::string(".");
}

class Window : public ::testing::Test {
 protected:
  Window() {
    App();
    window = std::make_unique<MainWindow>(form);
    windowPort = form.Messages;
    rig = std::make_unique<fake::Rig>(form);  // replaces the window's boxes by the recording port
    window->show();
    QApplication::processEvents();
  }
  ~Window() override {
    rig.reset();
    window.reset();
  }
  template <typename W>
  W* Get(const char* name) {
    W* w = qobject_cast<W*>(window->Widget(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  fake::Terminal& terminal() { return rig->terminal; }

  TForm1 form;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<fake::Rig> rig;
  MessagePort* windowPort = nullptr;  // the window's own boxes
};

TEST_F(Window, StartUpShowsTheSettingsAndTheKeyLayoutPanel) {
  EXPECT_EQ(window->windowTitle(), QString("Quelmark Config"));
  EXPECT_EQ(window->frameGeometry().size(), QSize(330, 193));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());  // fixed size
  const QRect area = window->screen()->availableGeometry();
  EXPECT_LE(std::abs(window->frameGeometry().center().x() - area.center().x()), 1);
  EXPECT_LE(std::abs(window->frameGeometry().center().y() - area.center().y()), 1);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

  EXPECT_TRUE(Get<QToolButton>("sbtnTCPIP")->isChecked());
  EXPECT_FALSE(Get<QToolButton>("sbtnRS232")->isChecked());
  EXPECT_EQ(Get<QLineEdit>("edtnetAddress")->text(), QString("192.168.1.201"));
  EXPECT_EQ(Get<QLineEdit>("edtNetPort")->text(), QString("$1112"));
  EXPECT_EQ(Get<QLineEdit>("edtBaudRate")->text(), QString("115200"));
  EXPECT_EQ(window->EditLabel("edtnetAddress")->text(), QString("IP Address:"));
  EXPECT_EQ(window->EditLabel("edtNetPort")->text(), QString("Port Number:"));
  EXPECT_EQ(window->EditLabel("edtBaudRate")->text(), QString("BaudRate:"));
  EXPECT_EQ(Get<QComboBox>("cbKeyLayouts")->currentIndex(), -1);
  EXPECT_EQ(Get<QComboBox>("cbKeyLayouts")->count(), 8);
  EXPECT_EQ(Get<QPushButton>("btnRestore")->text(), QString::fromUtf8("恢复"));
  EXPECT_EQ(window->EditLabel("edtOEMVender")->text(), QString::fromUtf8("厂商名称："));
  EXPECT_EQ(Get<QComboBox>("cbConfig")->itemText(4), QString::fromUtf8("序列号"));

  // In view: visible top-level widgets that reach into the client area.
  QStringList inView;
  const QRect client = window->rect();
  for (Control* c : form.Controls()) {
    QWidget* w = window->Widget(c->Name);
    if (c->Parent.empty() && w->isVisible() && client.intersects(w->geometry())) inView << QString::fromStdString(c->Name);
  }
  EXPECT_EQ(inView, (QStringList{"sbtnTCPIP", "sbtnRS232", "edtnetAddress", "edtNetPort", "edtBaudRate", "Panel3"}));
  EXPECT_FALSE(Get<QFrame>("Panel2")->isVisible());
  EXPECT_EQ(Get<QFrame>("Panel3")->pos(), QPoint(24, 40));
  EXPECT_EQ(Get<QToolButton>("sbtnTCPIP")->geometry(), QRect(8, 1, 18, 17));
  EXPECT_TRUE(Get<QPushButton>("btnUpdateBoot")->isEnabled());
}

TEST_F(Window, Screenshots) {
  // The window as the user sees it, and its whole layout with the hidden panel
  // shown (the Chinese texts must come out as characters).
  const std::string shown = OutputDir() + "/quelmark-config.png";
  ASSERT_TRUE(window->grab().save(QString::fromStdString(shown)));
  form.Panel2.Visible = true;
  form.Panel3.Left = 25;
  form.Panel3.Top = 336;
  window->SyncFromModel();
  window->setFixedSize(form.ClientWidth, form.ClientHeight);
  const std::string all = OutputDir() + "/quelmark-config-layout.png";
  ASSERT_TRUE(window->grab().save(QString::fromStdString(all)));
  // The transport pictures, eight times enlarged.
  QPixmap icons(2 * 128 + 8, 128);
  icons.fill(Qt::white);
  {
    QPainter p(&icons);
    p.drawPixmap(QRect(0, 0, 128, 128), GlobeIcon().pixmap(16, 16));
    p.drawPixmap(QRect(136, 0, 128, 128), ConnectorIcon().pixmap(16, 16));
  }
  const std::string pictures = OutputDir() + "/quelmark-config-icons.png";
  ASSERT_TRUE(icons.save(QString::fromStdString(pictures)));
  std::printf("screenshots: %s %s %s\n", shown.c_str(), all.c_str(), pictures.c_str());
}

TEST_F(Window, EnterDoesNotRunTheHiddenOemWriter) {
  QLineEdit* address = Get<QLineEdit>("edtnetAddress");
  address->setFocus();
  QTest::keyClick(address, Qt::Key_Return);
  QTest::keyClick(Get<QComboBox>("cbKeyLayouts"), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_TRUE(terminal().trace.empty());
  EXPECT_TRUE(window->isVisible());
  QTest::keyClick(address, Qt::Key_Escape);  // no cancel button: the window stays
  EXPECT_TRUE(window->isVisible());

  // With the panel shown, the same key runs it: the check above can fail.
  form.Panel2.Visible = true;
  window->SyncFromModel();
  terminal().nextHandle = 0;
  QTest::keyClick(address, Qt::Key_Return);
  EXPECT_EQ(terminal().trace, (std::vector<std::string>{fake::Net(), fake::Warning(cp936::kMsgCannotConnectOem)}));
}

TEST_F(Window, ClicksGoThroughTheModel) {
  // Transport button: labels and texts change, the baud-rate field stays.
  Get<QLineEdit>("edtBaudRate")->setText("9600");
  Get<QToolButton>("sbtnRS232")->click();
  EXPECT_TRUE(Get<QToolButton>("sbtnRS232")->isChecked());
  EXPECT_FALSE(Get<QToolButton>("sbtnTCPIP")->isChecked());
  EXPECT_EQ(window->EditLabel("edtnetAddress")->text(), QString("Com Port:"));
  EXPECT_EQ(Get<QLineEdit>("edtnetAddress")->text(), QString("COM1"));
  EXPECT_EQ(Get<QLineEdit>("edtNetPort")->text(), QString("1"));
  EXPECT_EQ(Get<QLineEdit>("edtBaudRate")->text(), QString("9600"));
  Get<QToolButton>("sbtnRS232")->click();  // a pressed button stays pressed
  EXPECT_TRUE(Get<QToolButton>("sbtnRS232")->isChecked());

  // A preset chosen in the list, a lower-case address typed: serial line COM3.
  Get<QToolButton>("sbtnTCPIP")->click();
  Get<QLineEdit>("edtnetAddress")->setText(" com3 ");
  Get<QComboBox>("cbKeyLayouts")->setCurrentIndex(1);
  Get<QPushButton>("btnSetConfig")->click();
  EXPECT_EQ(Get<QLineEdit>("edtnetAddress")->text(), QString("COM3"));
  EXPECT_EQ(terminal().trace.front(), fake::Serial("COM3", 4370, 9600));
  EXPECT_EQ(terminal().trace.back(), fake::Information("Success!"));
  EXPECT_EQ(form.DeviceHandle, 0);
}

TEST_F(Window, ChineseTextsCrossTheBoundaryAsCp936Bytes) {
  Get<QComboBox>("cbConfig")->setCurrentIndex(4);  // the serial-number item
  Get<QLineEdit>("txtConfig")->setText("12345");
  Get<QPushButton>("btWriteConfig")->click();
  EXPECT_EQ(form.cbConfig.Text, cp936::kSerialNumberItem);
  EXPECT_EQ(terminal().trace, (std::vector<std::string>{fake::Warning(cp936::kMsgSerialLength)}));

  // A value read from the terminal that is no CP936 text survives an untouched field.
  terminal().trace.clear();
  terminal().options["Raw"] = "\xFF\x80z";
  Get<QComboBox>("cbConfig")->setEditText("Raw");
  Get<QPushButton>("btReadConfig")->click();
  EXPECT_EQ(form.txtConfig.Text, "\xFF\x80z");
  Get<QPushButton>("btReadConfig")->click();  // the field goes back into the model unchanged
  EXPECT_EQ(terminal().trace[1], fake::Get("Raw"));
  EXPECT_EQ(form.txtConfig.Text, "\xFF\x80z");
  EXPECT_EQ(form.cbConfig.Text, "Raw");
}

TEST_F(Window, OemNamesTake16CharactersAndTheWriterCutsTo16Bytes) {
  form.Panel2.Visible = true;
  window->SyncFromModel();
  QLineEdit* vendor = Get<QLineEdit>("edtOEMVender");
  vendor->setFocus();
  QTest::keyClicks(vendor, "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(vendor->text(), QString("ABCDEFGHIJKLMNOP"));
  vendor->clear();
  // Twenty two-byte characters typed one by one: sixteen are taken (32 bytes).
  const QString typed = QString::fromUtf8("厂商名称厂商名称厂商名称厂商名称厂商名称");
  for (QChar ch : typed) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(vendor, &press);
  }
  EXPECT_EQ(vendor->text(), typed.left(16));
  // A character without a CP936 form counts as the one "?" it becomes.
  Get<QLineEdit>("edtProduct")->setText(QString::fromUtf8("😀"));
  QTest::keyClicks(Get<QLineEdit>("edtProduct"), "ABCDEFGHIJKLMNOPQ");
  EXPECT_EQ(Get<QLineEdit>("edtProduct")->text(), QString::fromUtf8("😀ABCDEFGHIJKLMNO"));

  // The writer then cuts each name to its first 16 bytes, in the field too.
  terminal().nextHandle = 0;
  Get<QPushButton>("btnOpen")->click();
  EXPECT_EQ(vendor->text(), typed.left(8));
  EXPECT_EQ(form.edtOEMVender.Text.size(), 16u);
  EXPECT_EQ(Get<QLineEdit>("edtProduct")->text(), QString::fromUtf8("?ABCDEFGHIJKLMNO"));
}

TEST_F(Window, BoxesOfTheQtPort) {
  // The window's own port: a modal box with the model's caption and one button.
  rig.reset();
  ASSERT_NE(windowPort, nullptr);
  form.Messages = windowPort;
  struct Seen {
    QString title, text, buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
  };
  std::vector<Seen> seen;
  auto closeNextBox = [&] {
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      Seen s{box->windowTitle(), box->text(), QString(), box->icon()};
      for (QAbstractButton* b : box->buttons()) s.buttons += b->text() + ";";
      seen.push_back(s);
      box->buttons().front()->click();
    });
  };
  fake::Terminal terminal;
  terminal.nextHandle = 0;
  form.Library = &terminal;
  form.SleepMs = [](uint32_t) {};
  Get<QComboBox>("cbKeyLayouts")->setCurrentIndex(0);
  closeNextBox();
  Get<QPushButton>("btnSetConfig")->click();
  Get<QLineEdit>("edtNetPort")->setText("$1112 ");
  closeNextBox();
  Get<QPushButton>("btnSetConfig")->click();
  terminal.nextHandle = 1;
  Get<QLineEdit>("edtNetPort")->setText("$1112");
  closeNextBox();
  Get<QPushButton>("btnSetConfig")->click();
  form.Library = nullptr;

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].title, QString("Warning"));
  EXPECT_EQ(seen[0].text, QString("Can not connect to the device"));
  EXPECT_EQ(seen[0].buttons, QString("Cancel;"));
  EXPECT_EQ(seen[0].icon, QMessageBox::Warning);
  EXPECT_EQ(seen[1].title, QString("Quelmark Config"));  // the default error report
  EXPECT_EQ(seen[1].text, QString("'$1112 ' is not a valid integer value."));
  EXPECT_EQ(seen[1].buttons, QString("OK;"));
  EXPECT_EQ(seen[1].icon, QMessageBox::Critical);
  EXPECT_EQ(seen[2].title, QString("Information"));
  EXPECT_EQ(seen[2].text, QString("Success!"));
  EXPECT_EQ(seen[2].buttons, QString("OK;"));
}

TEST_F(Window, CloseRequestClosesTheWindow) {
  form.Close();
  EXPECT_FALSE(window->isVisible());
}

TEST(Cp936Codec, ConvertsBothWays) {
  const char* texts[] = {cp936::kBtnOpenCaption, cp936::kLabelVendor, cp936::kLabelProduct, cp936::kSerialNumberItem,
                         cp936::kBtnRestoreCaption, cp936::kMsgCannotConnectOem, cp936::kMsgVendorFail,
                         cp936::kMsgProductFail, cp936::kMsgSerialLength, cp936::kMsgSerialInvalid};
  const char* utf8[] = {"写入信息", "厂商名称：", "产品名称：", "序列号", "恢复", "不能连接设备！",
                        "不能设置该设备的OEM开发商信息。", "不能设置该设备的OEM产品名称。", "序列号长度不对", "序列号非法"};
  for (std::size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
    EXPECT_EQ(FromCp936(texts[i]), QString::fromUtf8(utf8[i]));
    EXPECT_EQ(ToCp936(QString::fromUtf8(utf8[i])), texts[i]);
  }
  EXPECT_EQ(ToCp936(QString::fromUtf8("a😀b€")), "a?b\x80");  // no CP936 form: "?"
  EXPECT_EQ(FromCp936("a\xFF" "b\xD0"), QString::fromUtf8("a\uFFFDb\uFFFD"));  // no character: U+FFFD
  EXPECT_EQ(ToCp936(QString()), "");
  const std::string long_text(100000, 'x');
  EXPECT_EQ(ToCp936(FromCp936(long_text)), long_text);
}

}  // namespace
