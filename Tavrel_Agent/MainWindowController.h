#pragma once

#include <QWidget>

class MainWindowController final : public QWidget {
    Q_OBJECT
public:
    MainWindowController();
};
