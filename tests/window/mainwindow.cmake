# mainwindow window tests
