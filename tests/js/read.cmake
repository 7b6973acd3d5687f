# Reading a folder's XML files, handing them out and dropping them, as a page sees it.
# Under the emulator the whole table takes about 4.5 minutes on a busy machine.
tallyfold_add_jstest(NAME js_read_folder SCRIPT read_folder.js ENV TALLYFOLD_OUTPUT=1 TIMEOUT 600)
tallyfold_add_jstest(NAME js_read_control SCRIPT read_control.js ENV TALLYFOLD_OUTPUT=1)
tallyfold_add_jstest(NAME js_read_denied SCRIPT read_denied.js AS_USER ENV TALLYFOLD_OUTPUT=1)
