#pragma once

#include <QObject>

#include <functional>

class StatusBarController final : public QObject {
    Q_OBJECT
public:
    explicit StatusBarController(std::function<void()> openMainWindow, QObject* parent = nullptr);
};
