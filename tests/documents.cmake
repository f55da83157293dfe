quorvex_add_qtest(tst_documents SOURCES tst_documents.cpp LABELS unit)
