#pragma once

#include <QDialog>

// The Setup / Settings sheet. Shown window-modal over the main window; finished() ends it.
class SetupWindowController final : public QDialog {
    Q_OBJECT
public:
    explicit SetupWindowController(QWidget* parent = nullptr);
};
