# CsvWrite from script: outcomes and file effects, refused access as an unprivileged user,
# and the log records of its refusals.
tallyfold_add_jstest(NAME csv_write SCRIPT csv_write.js)
tallyfold_add_jstest(NAME csv_access SCRIPT csv_access.js AS_USER)
tallyfold_add_jstest(NAME csv_log SCRIPT csv_log.js ENV TALLYFOLD_OUTPUT=1)
