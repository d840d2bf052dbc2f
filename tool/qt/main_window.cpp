#include "tool/qt/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QValidator>
#include <cstdlib>
#include <cstring>

#include "tool/qt/cp936_codec.h"
#include "tool/qt/icons.h"
#include "tool/ops/sysutils.h"

#if __has_include(<xcb/xcb.h>) && QT_CONFIG(xcb)
#include <xcb/xcb.h>
#define QUELMARK_HAVE_XCB 1
#endif

namespace {

// Limits what can be typed to a number of characters, counted as the model holds
// them: CP936 characters (a Chinese character counts one; one without a CP936
// form counts as the "?" it becomes).
class LengthLimitValidator : public QValidator {
 public:
  LengthLimitValidator(std::size_t limit, QObject* parent) : QValidator(parent), limit_(limit) {}
  State validate(QString& input, int&) const override {
    return Cp936Length(ToCp936(input)) <= limit_ ? Acceptable : Invalid;
  }

 private:
  std::size_t limit_;
};

// Modal message boxes over the window: the kind gives the icon, the model the
// caption, the text and the single button.
class QtMessagePort : public MessagePort {
 public:
  explicit QtMessagePort(MainWindow& window) : window_(window) {}
  void Show(const MessageBoxRequest& request) override {
    window_.SyncFromModel();  // what the handler changed so far is seen behind the box
    QMessageBox::Icon icon = request.Kind == BoxKind::Warning       ? QMessageBox::Warning
                             : request.Kind == BoxKind::Information ? QMessageBox::Information
                                                                    : QMessageBox::Critical;
    QMessageBox box(icon, FromCp936(request.Caption), FromCp936(request.Text), QMessageBox::NoButton, &window_);
    if (request.Button == BoxButton::OK)
      box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    else
      box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setWindowModality(Qt::ApplicationModal);
    // The busy cursor of the click gives way to the normal one while the box waits.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy) QApplication::restoreOverrideCursor();
    box.exec();
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  }

 private:
  MainWindow& window_;
};

constexpr int kLabelAbove = 16;  // a labelled edit's label stands this far above the field

#ifdef QUELMARK_HAVE_XCB
xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(reply);
  return atom;
}

// The name of the running window manager (_NET_WM_NAME of the window that
// _NET_SUPPORTING_WM_CHECK names on the root); empty when none says.
std::string WindowManagerName(xcb_connection_t* c, xcb_window_t root) {
  const xcb_atom_t check = Atom(c, "_NET_SUPPORTING_WM_CHECK");
  xcb_get_property_reply_t* reply =
      xcb_get_property_reply(c, xcb_get_property(c, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
  xcb_window_t wm = XCB_WINDOW_NONE;
  if (reply && xcb_get_property_value_length(reply) == 4)
    wm = *static_cast<xcb_window_t*>(xcb_get_property_value(reply));
  std::free(reply);
  if (wm == XCB_WINDOW_NONE) return {};
  reply = xcb_get_property_reply(
      c, xcb_get_property(c, 0, wm, Atom(c, "_NET_WM_NAME"), Atom(c, "UTF8_STRING"), 0, 64), nullptr);
  std::string name;
  if (reply)
    name.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                static_cast<std::size_t>(xcb_get_property_value_length(reply)));
  std::free(reply);
  return name;
}
#endif

// The window has a dialog border: no minimise and no maximise. Qt declares that
// through the Motif hints, which most window managers follow; Openbox ignores them
// for minimise and offers it for every window except its helper types, so there
// the window declares itself a toolbar-type window (decorated, focused, moved like
// any other, without minimise, maximise, resize or full screen). Call before the
// window is first shown: the type is read when the window is mapped.
void DeclareFixedDialog(QWidget& window) {
#ifdef QUELMARK_HAVE_XCB
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection()) return;
  xcb_connection_t* c = x11->connection();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (!screen || WindowManagerName(c, screen->root) != "Openbox") return;
  const xcb_window_t id = static_cast<xcb_window_t>(window.winId());
  const xcb_atom_t type = Atom(c, "_NET_WM_WINDOW_TYPE_TOOLBAR");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, Atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
  xcb_flush(c);
#else
  (void)window;
#endif
}

}  // namespace

MainWindow::MainWindow(TForm1& form, QWidget* parent) : QDialog(parent), form_(form) {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  // The layout's places and sizes were made for an 11-pixel dialog font.
  QFont dialogFont = font();
  dialogFont.setPixelSize(11);
  dialogFont.setStretch(QFont::SemiCondensed);  // narrow like the dialog font the places were made for
  setFont(dialogFont);
  Build();
  port_ = std::make_unique<QtMessagePort>(*this);
  form_.Messages = port_.get();
  form_.OnCloseRequest = [this] {
    SyncFromModel();  // the last caption changes are drawn before the window goes
    close();
  };
  SyncFromModel();
  ApplyOuterSize();
  if (QGuiApplication::platformName() == QLatin1String("xcb")) DeclareFixedDialog(*this);
}

MainWindow::~MainWindow() {
  if (form_.Messages == port_.get()) form_.Messages = nullptr;
  form_.OnCloseRequest = nullptr;
}

void MainWindow::Build() {
  // Panels first (Controls() lists them before their contents), so every
  // control finds its parent widget.
  for (Control* c : form_.Controls()) {
    QWidget* parent = this;
    if (!c->Parent.empty())
      if (Binding* p = Find(c->Parent)) parent = p->widget;
    Binding b{c, nullptr, nullptr, QString(), -2};
    switch (c->Kind) {
      case ControlKind::Panel: {
        auto* frame = new QFrame(parent);
        frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
        frame->setLineWidth(1);
        b.widget = frame;
        break;
      }
      case ControlKind::Button: {
        auto* button = new QPushButton(parent);
        button->setAutoDefault(true);
        button->setDefault(c->Default);
        b.widget = button;
        break;
      }
      case ControlKind::SpeedButton: {
        auto* button = new QToolButton(parent);
        button->setAutoRaise(true);  // flat
        button->setCheckable(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setIconSize(QSize(16, 16));
        button->setIcon(c == &form_.sbtnRS232 ? ConnectorIcon() : GlobeIcon());
        b.widget = button;
        break;
      }
      case ControlKind::LabeledEdit:
      case ControlKind::Edit: {
        auto* edit = new QLineEdit(parent);
        edit->setTextMargins(0, 0, 0, 0);
        if (c->MaxLength > 0) edit->setValidator(new LengthLimitValidator(c->MaxLength, edit));
        b.widget = edit;
        if (c->Kind == ControlKind::LabeledEdit) b.label = new QLabel(parent);
        break;
      }
      case ControlKind::ComboBox:
      case ControlKind::DropDownList: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(c->Kind == ControlKind::ComboBox);
        if (combo->isEditable()) combo->setInsertPolicy(QComboBox::NoInsert);
        for (const std::string& item : c->Items) combo->addItem(FromCp936(item));
        b.widget = combo;
        break;
      }
      case ControlKind::Label:
        b.widget = new QLabel(parent);
        break;
    }
    b.widget->setObjectName(QString::fromStdString(c->Name));
    if (c->TabOrder < 0 && c->Kind != ControlKind::Panel) b.widget->setFocusPolicy(Qt::NoFocus);
    if (c->OnClick)
      if (auto* button = qobject_cast<QAbstractButton*>(b.widget))
        QObject::connect(button, &QAbstractButton::clicked, this, [this, c] { RunClick(*c); });
    bindings_.push_back(b);
  }

  // The keyboard's way through the window: the window's controls in their tab
  // order, a panel's contents in theirs at the panel's place.
  auto ordered = [this](const std::string& parent) {
    std::vector<Control*> list;
    for (Control* c : form_.Controls())
      if (c->Parent == parent && c->TabOrder >= 0) list.push_back(c);
    std::stable_sort(list.begin(), list.end(), [](Control* a, Control* b) { return a->TabOrder < b->TabOrder; });
    return list;
  };
  std::vector<QWidget*> chain;
  for (Control* c : ordered("")) {
    if (c->Kind == ControlKind::Panel) {
      for (Control* inner : ordered(c->Name)) chain.push_back(Find(inner->Name)->widget);
    } else {
      chain.push_back(Find(c->Name)->widget);
    }
  }
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

MainWindow::Binding* MainWindow::Find(const std::string& name) {
  for (Binding& b : bindings_)
    if (b.control->Name == name) return &b;
  return nullptr;
}

const MainWindow::Binding* MainWindow::Find(const std::string& name) const {
  for (const Binding& b : bindings_)
    if (b.control->Name == name) return &b;
  return nullptr;
}

QWidget* MainWindow::Widget(const std::string& name) const {
  const Binding* b = Find(name);
  return b ? b->widget : nullptr;
}

QLabel* MainWindow::EditLabel(const std::string& name) const {
  const Binding* b = Find(name);
  return b ? b->label : nullptr;
}

void MainWindow::SyncToModel() {
  for (Binding& b : bindings_) {
    Control& c = *b.control;
    // Only what the user changed goes back, so bytes that have no Unicode form
    // (a value read from the terminal, say) survive a round trip unchanged.
    if (auto* edit = qobject_cast<QLineEdit*>(b.widget)) {
      if (edit->text() != b.shownText) c.Text = ToCp936(edit->text());
    } else if (auto* combo = qobject_cast<QComboBox*>(b.widget)) {
      if (combo->isEditable()) {
        if (combo->currentText() != b.shownText) c.Text = ToCp936(combo->currentText());
      } else if (combo->currentIndex() != b.shownIndex) {
        c.Select(combo->currentIndex());
      }
    }
  }
}

void MainWindow::SyncFromModel() {
  setWindowTitle(FromCp936(form_.Caption));
  for (Binding& b : bindings_) {
    const Control& c = *b.control;
    QWidget* w = b.widget;
    w->setGeometry(c.Left, c.Top, c.Width, c.Height);
    w->setVisible(c.Visible);
    w->setEnabled(c.Enabled);
    const QString text = FromCp936(c.Text);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      if (edit->text() != text) {
        edit->setText(text);
        edit->setCursorPosition(0);  // show the start of a text longer than the field
      }
      b.shownText = text;
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
      if (combo->isEditable()) {
        if (combo->currentText() != text) combo->setEditText(text);
        b.shownText = text;
      } else {
        combo->setCurrentIndex(c.ItemIndex);
        b.shownIndex = combo->currentIndex();
      }
    } else if (auto* tool = qobject_cast<QToolButton*>(w)) {
      tool->setChecked(c.Down);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      label->setText(text);
      if (c.Width == 0) {
        label->adjustSize();
        label->move(c.Left, c.Top);
      }
    }
    if (b.label) {
      b.label->setText(FromCp936(c.Label));
      b.label->adjustSize();
      b.label->move(c.Left, c.Top - kLabelAbove);
      b.label->setVisible(c.Visible);
    }
  }
}

void MainWindow::RunClick(Control& control) {
  SyncToModel();
  // The handler blocks the window while the library connects and talks (up to
  // seconds without a terminal): show that it is busy.
  QApplication::setOverrideCursor(Qt::WaitCursor);
  form_.Click(control);
  QApplication::restoreOverrideCursor();
  SyncFromModel();
}

void MainWindow::ApplyOuterSize() {
  // The model's size is the outer size; the frame's share is known once the
  // window is on screen (none on platforms without decorations).
  frame_ = placed_ ? frameGeometry().size() - geometry().size() : QSize(0, 0);
  setFixedSize(form_.Width - frame_.width(), form_.Height - frame_.height());
  if (form_.CenteredOnDesktop) {
    if (QScreen* screen = this->screen()) {
      const QRect area = screen->availableGeometry();
      const QSize outer(form_.Width, form_.Height);
      move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
    }
  }
}

void MainWindow::FitToFrame() {
  if (!placed_) return;
  if (frameGeometry().size() - geometry().size() != frame_) ApplyOuterSize();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Escape does not close the window: it has no cancel button.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  FitToFrame();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  FitToFrame();
}

void MainWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!placed_) {
    placed_ = true;
    ApplyOuterSize();
  }
}
