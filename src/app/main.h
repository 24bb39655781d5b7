#pragma once

#include <QMainWindow>

// The main window.
class TAppForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TAppForm(QWidget* parent = nullptr);
};
