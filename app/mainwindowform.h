#pragma once

#include "ui_mainwindow.h"

// The designer-generated form of the window: central widget, menu bar and status bar.
class MainWindowForm : public Ui::MainWindow {};
