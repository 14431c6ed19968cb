# dialog window tests
