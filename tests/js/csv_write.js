// CsvWrite as a page calls it: one row per case, each with what lies at the path before the
// call, the outcome in the result object, and what lies there afterwards.

var base = envVar("TF_FIXTURE");

function at(rel) { return base + "\\" + rel; }

// Hex texts compared; a long mismatch is told by its sizes and first differing byte.
function eqHex(actual, expected, label) {
    if (actual === null || actual === expected || actual.length + expected.length < 400) return eq(actual, expected, label);
    var k = 0;
    while (k < actual.length && actual.charAt(k) === expected.charAt(k)) k++;
    return check(false, label + ": " + actual.length / 2 + " bytes, expected " + expected.length / 2 +
                        ", first difference at byte " + Math.floor(k / 2));
}

// A folder of the fixture whose directory part (after the drive, with its trailing
// backslash) has the given length.
function deepFolder(name, length) {
    var path = readText(at(name + ".path"));
    check(TF.fso.FolderExists(path), "folder " + name + " exists");
    eq(path.length - 2 + 1, length, "directory part of " + name);
    return path;
}

// An error outside a case must fail the script too: the host here exits quietly on one.
tfCase("csv_write", function () {
    var dir255 = deepFolder("e255", 255);
    var dir256 = deepFolder("f256", 256);
    var cwdFile = TF.shell.CurrentDirectory + "\\tf-bare-name.csv";
    if (TF.fso.FileExists(cwdFile)) TF.fso.DeleteFile(cwdFile);

    // The code page is the one the file must be written in; the rows compare against it.
    eq(ansiHex("\u65e5\u672c"), "93FA967B", "the system ANSI code page is 932");
    // More than 64 KB, to show the text goes out whole.
    var longLine = "\u9577\u3044\u884c,abc";
    var longText = repeat(longLine + "\r\n", 6000);
    var longHex = repeat(ansiHex(longLine) + "0D0A", 6000);

    // path: relative to base unless abs; before: {hex} a file, "dir" a folder; after: what the
    // target (after.at relative to base, else the path) holds: {hex}, {ansi: text}, "absent",
    // "dir"; hold: the file is open elsewhere during the call.
    var rows = [
        {name: "Japanese text, CR LF and LF kept, no byte-order mark", path: "out.csv", text: "\u65e5\u672c,\uff71\r\n1\n",
         result: "S_OK", code: "", after: {hex: "93FA967B2CB10D0A310A"}},
        {name: "rewrite with a shorter text", path: "out.csv", before: {hex: "3031323334353637383930"}, text: "xy",
         result: "S_OK", code: "", after: {hex: "7879"}},
        {name: "empty text, new file", path: "empty.csv", text: "", result: "S_OK", code: "", after: {hex: ""}},
        {name: "empty text empties an existing file", path: "full.csv", before: {hex: "414243"}, text: "",
         result: "S_OK", code: "", after: {hex: ""}},
        {name: "characters outside code page 932", path: "replaced.csv", text: "caf\u00e9,\uD83D\uDE00,\u65e5\u672c",
         result: "S_OK", code: "", after: {ansi: "caf\u00e9,\uD83D\uDE00,\u65e5\u672c"}},
        {name: "long text", path: "long.csv", text: longText, result: "S_OK", code: "", after: {hex: longHex}},
        {name: "extension .CSV", path: "UPPER.CSV", text: "a", result: "S_OK", code: "", after: {hex: "61"}},
        {name: "extension .Csv", path: "mixed.Csv", text: "b", result: "S_OK", code: "", after: {hex: "62"}},
        {name: "forward slashes", path: "slash.csv", slashes: true, text: "c", result: "S_OK", code: "", after: {hex: "63"}},
        {name: "blanks around the path are trimmed", abs: true, path: " \u3000\t" + at("trimmed.csv") + "\r\n\f\u000b ",
         text: "d", result: "S_OK", code: "", after: {at: "trimmed.csv", hex: "64"}},
        {name: "directory part of 255 characters", abs: true, path: dir255 + "\\a.csv", text: "e",
         result: "S_OK", code: "", after: {hex: "65"}},
        {name: "extension .txt", path: "out.txt", text: "x", result: "E_FAIL", code: "QR10007E", after: "absent"},
        {name: "extension .csv.bak", path: "out.csv.bak", text: "x", result: "E_FAIL", code: "QR10007E", after: "absent"},
        {name: "extension .csvx", path: "out.csvx", text: "x", result: "E_FAIL", code: "QR10007E", after: "absent"},
        {name: "no extension", path: "out", text: "x", result: "E_FAIL", code: "QR10007E", after: "absent"},
        {name: "extension only on a folder", path: "data.csv\\out", prepare: "data.csv", text: "x",
         result: "E_FAIL", code: "QR10007E", after: "absent"},
        {name: "blank path: space", abs: true, path: " ", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "blank path: ideographic space", abs: true, path: "\u3000", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "blank path: tab", abs: true, path: "\t", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "blank path: CR LF", abs: true, path: "\r\n", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "blank path: FF VT", abs: true, path: "\f\u000b", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "blank path: empty", abs: true, path: "", text: "x", result: "E_FAIL", code: "QR10006E"},
        {name: "missing folder", path: "missing\\out.csv", text: "x", result: "E_FAIL", code: "QR10008E",
         after: {at: "missing", absent: true}},
        {name: "bare file name", abs: true, path: "tf-bare-name.csv", text: "x", result: "E_FAIL", code: "QR10008E",
         after: {abs: cwdFile, absent: true}},
        {name: "directory part of 256 characters", abs: true, path: dir256 + "\\a.csv", text: "x",
         result: "E_FAIL", code: "QR10008E", after: "absent"},
        {name: "a folder of the output name", path: "folder.csv", before: "dir", text: "x",
         result: "E_FAIL", code: "QR10009E", after: "dir"},
        {name: "write fails: the disk fills up", abs: true, fullDisk: true, path: envVar("TF_FULL_DISK") + "\\toolarge.csv",
         text: repeat("a", 2 * 1024 * 1024), result: "E_FAIL", code: "QR10010E"},
        {name: "a device name, not a file", path: "NUL.csv", text: "abc", result: "E_FAIL", code: "QR10003E"},
        {name: "file held open elsewhere", path: "held.csv", before: {hex: "6F6C64"}, hold: true, text: "new",
         result: "E_FAIL", code: "QR10003E", after: {hex: "6F6C64"}}
    ];

    var control = newControl();
    var last = null;

    tfRows(rows, function (row) {
        var path = row.abs ? row.path : at(row.path);
        if (row.slashes) path = path.replace(/\\/g, "/");
        if (row.prepare) TF.fso.CreateFolder(at(row.prepare));
        if (row.before === "dir") TF.fso.CreateFolder(path);
        else if (row.before) check(tftool(["bytes", path, row.before.hex]) === 0, row.name + ": fixture");
        // Values left by an earlier call must not survive this one.
        if (last) {
            for (var p = 0; p < RESULT_PROPERTIES.length; p++) last[RESULT_PROPERTIES[p]] = "stale";
        }
        var flag = row.hold ? holdFile(path) : null;
        var result;
        try {
            result = control.CsvWrite(path, row.text);
        } finally {
            if (flag) releaseFile(path, flag);
        }
        last = result;
        checkResult(result, outcome({Result: row.result, DetailErrorInfo: row.code}), row.name);

        var after = row.after;
        if (!after) return;
        var target = (after.abs) ? after.abs : (after.at ? at(after.at) : path);
        if (after === "absent" || after.absent) {
            check(!TF.fso.FileExists(target) && !TF.fso.FolderExists(target), row.name + ": nothing at " + tfShow(target));
        } else if (after === "dir") {
            check(TF.fso.FolderExists(target), row.name + ": still a folder");
        } else {
            eqHex(fileHex(target), after.ansi !== undefined ? ansiHex(after.ansi) : after.hex, row.name + ": file bytes");
        }
    });
});

done();
