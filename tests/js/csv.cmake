# CsvWrite from script: outcomes and file effects, refused access as an unprivileged user,
# and the log records of its refusals.
# On a filesystem of 64 KiB, a larger text makes the write itself fail.
tallyfold_add_jstest(NAME js_csv_write SCRIPT csv_write.js FULL_DISK_KB 64)
tallyfold_add_jstest(NAME js_csv_access SCRIPT csv_access.js AS_USER)
tallyfold_add_jstest(NAME js_csv_log SCRIPT csv_log.js ENV TALLYFOLD_OUTPUT=1 FULL_DISK_KB 64)
