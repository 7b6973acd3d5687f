// CsvWrite's records in the diagnostic log (run with TALLYFOLD_OUTPUT defined): each refusal
// and failure leaves its message as code page 932 bytes under the worker's function name,
// and a successful write leaves none.

var base = envVar("TF_FIXTURE");

// An error outside a case must fail the script too: the host here exits quietly on one.
tfCase("csv_log", function () {
    var logPath = logFile();
    var CRLF = "0D0A";

    // message: the record's message as code page 932 bytes; none: nothing of the writer is logged.
    var rows = [
        {name: "empty path", path: " ", fn: "CLCQRCsvWrite::ParameterCheck", code: "QR10006E",
         message: "8F6F97CD837483408343838B8370835882AA8BF395B68E9A82C582B582BD8142"},
        {name: "extension not .csv", path: base + "\\out.txt", fn: "CLCQRCsvWrite::ParameterCheck", code: "QR10007E",
         message: "8A6792A38E7182AA81752E637376817682C582CD82A082E882DC82B982F18142"},
        {name: "missing folder", path: base + "\\missing\\out.csv", fn: "CLCQRCsvWrite::WriteFileData", code: "QR10008E",
         message: "83748348838B835F82AA91B68DDD82B582DC82B982F18142"},
        {name: "write fails: the disk fills up", fullDisk: true, path: envVar("TF_FULL_DISK") + "\\toolarge.csv",
         text: repeat("a", 2 * 1024 * 1024),
         fn: "CLCQRCsvWrite::WriteFileData",
         code: "QR10010E", message: "837483408343838B82D682CC8F9182AB8D9E82DD82AA8EB8947382B582DC82B582BD8142"},
        {name: "file held open elsewhere", path: base + "\\held.csv", hold: true, fn: "CLCQRCsvWrite::WriteFileData",
         code: "QR10003E", message: "975C8AFA82B982CA97E18A4F82AA94AD90B682B582DC82B582BD8142"},
        {name: "success", path: base + "\\ok.csv", code: "", none: true}
    ];

    var control = newControl();
    tfRows(rows, function (row) {
        var start = logSize() * 2;
        var flag = null;
        if (row.hold) {
            check(tftool(["bytes", row.path, "6F6C64"]) === 0, row.name + ": fixture");
            flag = holdFile(row.path);
        }
        var result;
        try {
            result = control.CsvWrite(row.path, row.text || "a,b\r\n");
        } finally {
            if (flag) releaseFile(row.path, flag);
        }
        eq(result.DetailErrorInfo, row.code, row.name + ": DetailErrorInfo");
        var log = fileHex(logPath);
        if (row.none) {
            check(log === null || findHex(log, asciiHex("CLCQRCsvWrite::"), start) < 0,
                  row.name + ": no record of the writer");
            return;
        }
        if (!check(log !== null, row.name + ": log file " + logPath)) return;
        // Header line, message line, then the source line naming the writer's unit.
        var record = asciiHex(" " + row.fn + "--") + CRLF + row.message + CRLF + asciiHex("[File:");
        var at = findHex(log, record, start);
        if (!check(at >= 0, row.name + ": record with the message under " + row.fn)) return;
        var lineEnd = findHex(log, CRLF, at + record.length);
        var source = findHex(log, asciiHex("CLCQRCsvWrite.cpp Line:"), at + record.length);
        check(source >= 0 && source < lineEnd, row.name + ": source line names CLCQRCsvWrite.cpp");
    });
});

done();
