# CsvWrite from script: outcomes and file effects, refused access as an unprivileged user,
# and the log records of its refusals.
# Under a 1 MiB file-size limit, a larger text makes the write itself fail.
tallyfold_add_jstest(NAME csv_write SCRIPT csv_write.js FILE_SIZE_LIMIT_KB 1024)
tallyfold_add_jstest(NAME csv_access SCRIPT csv_access.js AS_USER)
tallyfold_add_jstest(NAME csv_log SCRIPT csv_log.js ENV TALLYFOLD_OUTPUT=1 FILE_SIZE_LIMIT_KB 1024)
