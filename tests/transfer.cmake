# The transfer workers: Downloader against a scripted HTTP server, Decompressor with the real
# 7-Zip and with a stand-in extractor.
quorvex_add_qtest(tst_downloader SOURCES tst_downloader.cpp LIBS qv_testsupport
                  LABELS "unit;transfer" TIMEOUT 300)
quorvex_add_qtest(tst_decompressor SOURCES tst_decompressor.cpp LIBS qv_testsupport
                  LABELS "unit;transfer" TIMEOUT 300)
