// CsvWrite where the user has no right to write (run as an unprivileged user, where the
// platform enforces file permissions): refused access is QR10009E and leaves the file alone.

var base = envVar("TF_FIXTURE");

// An error outside a case must fail the script too: the host here exits quietly on one.
tfCase("csv_access", function () {
    // after: the file's bytes afterwards, or null when nothing may be there.
    var rows = [
        {name: "writable folder", path: "writable.csv", result: "S_OK", code: "", after: "782C790D0A"},
        {name: "read-only existing file", path: "readonly.csv", result: "E_FAIL", code: "QR10009E", after: "6F6C64"},
        {name: "new file in a folder without write permission", path: "locked\\new.csv", result: "E_FAIL",
         code: "QR10009E", after: null}
    ];

    var control = newControl();
    tfRows(rows, function (row) {
        var path = base + "\\" + row.path;
        var result = control.CsvWrite(path, "x,y\r\n");
        checkResult(result, {Result: row.result, DetailErrorInfo: row.code}, row.name);
        if (row.after === null) check(!TF.fso.FileExists(path), row.name + ": no file created");
        else eq(fileHex(path), row.after, row.name + ": file bytes");
    });
});

done();
