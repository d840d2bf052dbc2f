// The real window: Qt 6 widgets built from the TForm1 model. Widgets only show
// the model; before a click the widgets' texts and selections go into the model,
// the model's handler runs, and afterwards (and before every message box) the
// model's state comes back into the widgets. Texts cross here between CP936
// bytes (model) and Unicode (widgets).
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "tool/uOEM.h"

class QLabel;

class MainWindow : public QDialog {
 public:
  explicit MainWindow(TForm1& form, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The widget drawn for a control of the model; nullptr for an unknown name.
  QWidget* Widget(const std::string& name) const;
  // The label of a labelled edit field.
  QLabel* EditLabel(const std::string& name) const;

  void SyncToModel();    // widget texts and selections into the model
  void SyncFromModel();  // the model's state into the widgets
  void RunClick(Control& control);

  // The outer size the model asks for, and the client size that gives it once the
  // window frame is known.
  void ApplyOuterSize();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // A window manager puts its frame around the window after it is shown, and may
  // change it later: the client size follows so that the outer size stays.
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Binding {
    Control* control;
    QWidget* widget;
    QLabel* label;     // labelled edit fields only
    QString shownText;  // the text last put into the widget from the model
    int shownIndex;
  };
  void Build();
  void FitToFrame();
  Binding* Find(const std::string& name);
  const Binding* Find(const std::string& name) const;

  TForm1& form_;
  std::vector<Binding> bindings_;
  std::unique_ptr<MessagePort> port_;
  bool placed_ = false;
  QSize frame_;  // the frame's share of the outer size, as last applied
};
