#include "app/main.h"

TAppForm::TAppForm(QWidget* parent) : QMainWindow(parent) {}
