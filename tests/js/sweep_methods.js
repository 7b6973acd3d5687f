// Every method of the control and every property of the result object, called from script with
// each kind of value that a page could pass by mistake or by malice: null, undefined, empty
// text, numbers where text is expected and text where numbers are, the edges of 32 bits,
// objects and arrays, long text, format strings, embedded NUL characters, long-path, device,
// UNC and device-namespace paths. Each row names the outcome the page must see: a result word
// and code, or the platform's dispatch error for a value that cannot be converted
// ("throws 80020005": type mismatch, "throws 8002000a": overflow, "throws 8002000e": wrong
// number of arguments). Nothing may crash, no call may take long, and CsvWrite may leave no
// file where it refuses one.
//
// Run as "sweep_methods.js TABLE". Rows marked bounded (device and network paths, and anything
// that could wait for a device or a user) run in a child script under tfbound, so that a call
// that never returns ends its row instead of the test: "sweep_methods.js child TABLE ROW OUT".

var BOUND_MS = 20000;        // a bounded row's child is ended after this long
var SLOW_MS = 10000;         // no call in this process may take longer

var argv = [];
for (var a = 0; a < WScript.Arguments.length; a++) argv.push(WScript.Arguments.Item(a));
var childMode = argv[0] === "child";
var tableName = childMode ? argv[1] : argv[0];

var L10K = repeat("p", 10240);
var L40K = repeat("q", 40000);
var FORMAT = "%n%s%x";
var WITH_NUL = "a\u0000b";
var ODD_OBJECT = newControl(); // an automation object without a default value

// The table's own folder under the temporary folder; the parent makes it, a child only uses it.
var F = TF.fso.BuildPath(tfTempRoot(), "sweep-" + tableName);
function at(name) { return F + "\\" + name; }
// Folders with one file under a device name, made by the setup script outside Wine.
function fixture(name) { return envVar("TF_FIXTURE") + "\\" + name; }

function fail(code) { return "E_FAIL " + code; }
var TYPE = "throws 80020005", OVERFLOW = "throws 8002000a", COUNT = "throws 8002000e";

// --- the tables: [label, value, expected outcome, flags] ------------------------------------
// flags: b = run bounded in a child; for CsvWrite paths also the file the row must leave.

function readFolderRows() {
    // ReadXmlData(value, 5) on a folder of two files; "S_OK n=2" is a read of both.
    return [
        ["null", null, TYPE],
        ["undefined", undefined, fail("QR10003E")],
        ["empty", "", fail("QR10003E")],
        ["0", 0, fail("QR10004E")],
        ["-1", -1, fail("QR10004E")],
        ["2147483647", 2147483647, fail("QR10004E")],
        ["-2147483648", -2147483648, fail("QR10004E")],
        ["4294967295", 4294967295, fail("QR10004E")],
        ["1.5", 1.5, fail("QR10004E")],
        ["true", true, fail("QR10004E")],
        ["object", {}, fail("QR10004E")],
        ["array", [1, 2], fail("QR10004E")],
        ["array holding the folder", [F], "S_OK n=2"],
        ["object without a value", ODD_OBJECT, TYPE],
        ["10240 characters", L10K, fail("QR10004E")],
        ["40000 characters", "C:\\" + L40K, fail("QR10004E")],
        ["format string", FORMAT, fail("QR10004E")],
        ["format string under the folder", F + "\\" + FORMAT, fail("QR10004E")],
        ["embedded NUL", WITH_NUL, fail("QR10004E")],
        ["the folder, NUL, then more", F + "\u0000\\..\\elsewhere", "S_OK n=2"],
        ["\\\\?\\ form of the folder", "\\\\?\\" + F, "S_OK n=2"],
        ["\\\\.\\ form of the folder", "\\\\.\\" + F, "S_OK n=2"],
        ["UNC", "\\\\server\\share", fail("QR10004E"), "b"],
        ["\\\\?\\UNC", "\\\\?\\UNC\\server\\share\\data", fail("QR10004E"), "b"],
        ["CON", "CON", fail("QR10004E"), "b"],
        ["NUL", "NUL", fail("QR10004E"), "b"],
        ["COM1", "COM1", fail("QR10004E"), "b"],
        ["C:\\x\\CON", "C:\\x\\CON", fail("QR10004E"), "b"],
        ["CON under the folder", F + "\\CON", fail("QR10004E"), "b"],
        ["\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0", fail("QR10004E"), "b"],
        ["\\\\.\\C:", "\\\\.\\C:", fail("QR10004E"), "b"],
        // A file whose name the platform takes for a device cannot be read as a file.
        ["a file named NUL.xml", fixture("nul"), fail("QR10003E"), "b"],
        ["a file named CON.xml", fixture("con"), fail("QR10003E"), "b"],
        ["a file named AUX.xml", fixture("aux"), fail("QR10003E"), "b"],
        ["a file named COM1.xml", fixture("com1"), fail("QR10003E"), "b"],
        ["a file named PRN.xml", fixture("prn"), fail("QR10003E"), "b"],
        ["a file named LPT1.xml", fixture("lpt1"), fail("QR10003E"), "b"]
    ];
}

function readMaximumRows() {
    // ReadXmlData(folder of two files, value).
    return [
        ["null", null, TYPE],
        ["undefined", undefined, fail("QR10003E")],
        ["empty", "", TYPE],
        ["text 5", "5", "S_OK n=2"],
        ["text with blanks", " 5 ", "S_OK n=2"],
        ["text 1e1", "1e1", "S_OK n=2"],
        ["letters", "abc", TYPE],
        ["hexadecimal text", "0x10", TYPE],
        ["0", 0, fail("QR10003E")],
        ["-1", -1, fail("QR10003E")],
        ["1 (fewer than the files)", 1, fail("QR10002E")],
        ["2", 2, "S_OK n=2"],
        ["2147483647", 2147483647, "S_OK n=2"],
        ["-2147483648", -2147483648, fail("QR10003E")],
        ["4294967295", 4294967295, OVERFLOW],
        ["2147483648", 2147483648, OVERFLOW],
        ["-2147483649", -2147483649, OVERFLOW],
        ["1.5 rounds to 2", 1.5, "S_OK n=2"],
        ["1.4 rounds to 1", 1.4, fail("QR10002E")],
        ["0.5 rounds to 0", 0.5, fail("QR10003E")],
        ["NaN", NaN, "S_OK n=2"],
        ["Infinity", Infinity, OVERFLOW],
        ["true", true, fail("QR10003E")],
        ["false", false, fail("QR10003E")],
        ["object", {}, TYPE],
        ["empty array", [], TYPE],
        ["array holding 5", [5], "S_OK n=2"],
        ["object without a value", ODD_OBJECT, TYPE],
        ["10240 digits", repeat("9", 10240), OVERFLOW],
        ["format string", FORMAT, TYPE],
        ["1, NUL, then letters", "1\u0000x", fail("QR10002E")]
    ];
}

function getRows() {
    // GetXmlData(value) after a read of two files; "S_OK #k" hands out the k-th stored file.
    return [
        ["null", null, TYPE],
        ["undefined", undefined, "S_FALSE"],
        ["empty", "", TYPE],
        ["text 1", "1", "S_OK #1"],
        ["text with blanks", " 2 ", "S_OK #2"],
        ["letters", "abc", TYPE],
        ["0", 0, "S_FALSE"],
        ["-1", -1, "S_FALSE"],
        ["1", 1, "S_OK #1"],
        ["2", 2, "S_OK #2"],
        ["3", 3, "S_FALSE"],
        ["2147483647", 2147483647, "S_FALSE"],
        ["-2147483648", -2147483648, "S_FALSE"],
        ["4294967295", 4294967295, OVERFLOW],
        ["4294967297", 4294967297, OVERFLOW],
        ["1.5 rounds to 2", 1.5, "S_OK #2"],
        ["2.5 rounds to 2", 2.5, "S_OK #2"],
        ["0.5 rounds to 0", 0.5, "S_FALSE"],
        ["NaN", NaN, "S_FALSE"],
        ["Infinity", Infinity, OVERFLOW],
        ["true", true, "S_FALSE"],
        ["object", {}, TYPE],
        ["array holding 2", [2], "S_OK #2"],
        ["object without a value", ODD_OBJECT, TYPE],
        ["10240 characters", L10K, TYPE],
        ["format string", FORMAT, TYPE],
        ["1, NUL, then letters", "1\u0000x", "S_OK #1"]
    ];
}

function argumentCountRows() {
    // Methods without parameters, given some: the platform refuses the call before it runs.
    // GetFolderPath would show the folder dialog if it ran, so its rows are bounded.
    return [
        ["ClearXmlData()", [], "S_OK"],
        ["ClearXmlData(5)", [5], COUNT],
        ["ClearXmlData(null)", [null], COUNT],
        ["ClearXmlData(undefined)", [undefined], COUNT],
        ["ClearXmlData(a, b)", ["a", "b"], COUNT],
        ["GetFolderPath(5)", [5], COUNT, "b"],
        ["GetFolderPath(\"C:\\\\\")", ["C:\\"], COUNT, "b"],
        ["ReadXmlData()", [], COUNT],
        ["ReadXmlData(folder)", [F], COUNT],
        ["ReadXmlData(folder, 5, 6)", [F, 5, 6], COUNT],
        ["GetXmlData()", [], COUNT],
        ["CsvWrite(path)", [F + "\\count.csv"], COUNT],
        ["CsvWrite(path, text, more)", [F + "\\count.csv", "x", "y"], COUNT]
    ];
}

function csvPathRows() {
    // CsvWrite(value, "x,y"). The fourth column names the file the row leaves in the folder
    // (removed again); none may appear anywhere else in it.
    return [
        ["null", null, TYPE],
        ["undefined", undefined, fail("QR10006E")],
        ["empty", "", fail("QR10006E")],
        ["0", 0, fail("QR10007E")],
        ["-1", -1, fail("QR10007E")],
        ["2147483647", 2147483647, fail("QR10007E")],
        ["-2147483648", -2147483648, fail("QR10007E")],
        ["4294967295", 4294967295, fail("QR10007E")],
        ["1.5", 1.5, fail("QR10007E")],
        ["true", true, fail("QR10007E")],
        ["object", {}, fail("QR10007E")],
        ["array", [1, 2], fail("QR10007E")],
        ["array holding a path", [at("array.csv")], "S_OK", "array.csv"],
        ["object without a value", ODD_OBJECT, TYPE],
        ["10240-character name", at(L10K + ".csv"), fail("QR10003E")],
        ["40000-character name", at(L40K + ".csv"), fail("QR10003E")],
        ["10240-character folder", "C:\\" + L10K + "\\x.csv", fail("QR10008E")],
        ["format string", FORMAT, fail("QR10007E")],
        ["format string as the name", at(FORMAT + ".csv"), "S_OK", FORMAT + ".csv"],
        ["embedded NUL", WITH_NUL, fail("QR10007E")],
        ["NUL before .txt", at("cut.csv\u0000.txt"), "S_OK", "cut.csv"],
        ["NUL before .csv", at("cut.txt\u0000.csv"), fail("QR10007E")],
        ["wildcard in the name", at("q?.csv"), fail("QR10003E")],
        ["reserved character in the name", at("lt<.csv"), fail("QR10003E")],
        ["\\\\?\\ form", "\\\\?\\" + at("long.csv"), "S_OK", "long.csv"],
        ["\\\\.\\ form", "\\\\.\\" + at("dot.csv"), "S_OK", "dot.csv"],
        ["\\\\?\\ form, missing folder", "\\\\?\\C:\\tallyfold-missing\\x.csv", fail("QR10008E")],
        ["UNC", "\\\\server\\share\\x.csv", fail("QR10008E"), null, "b"],
        ["\\\\?\\UNC", "\\\\?\\UNC\\server\\share\\x.csv", fail("QR10008E"), null, "b"],
        ["CON", "CON", fail("QR10007E"), null, "b"],
        ["NUL", "NUL", fail("QR10007E"), null, "b"],
        ["COM1", "COM1", fail("QR10007E"), null, "b"],
        ["CON.csv without a folder", "CON.csv", fail("QR10008E"), null, "b"],
        ["C:\\x\\CON.csv", "C:\\x\\CON.csv", fail("QR10008E"), null, "b"],
        // A name that the platform takes for a device opens the device: no file can be made
        // there, and the text must not go to the device.
        ["CON.csv in the folder", at("CON.csv"), fail("QR10003E"), null, "b"],
        ["NUL.csv in the folder", at("NUL.csv"), fail("QR10003E"), null, "b"],
        ["AUX.csv in the folder", at("AUX.csv"), fail("QR10003E"), null, "b"],
        ["COM1.csv in the folder", at("COM1.csv"), fail("QR10003E"), null, "b"],
        ["PRN.csv in the folder", at("PRN.csv"), fail("QR10003E"), null, "b"],
        ["LPT1.csv in the folder", at("LPT1.csv"), fail("QR10003E"), null, "b"],
        ["\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0", fail("QR10007E"), null, "b"],
        ["\\\\.\\PhysicalDrive0\\x.csv", "\\\\.\\PhysicalDrive0\\x.csv", fail("QR10008E"), null, "b"],
        ["\\\\.\\COM1\\x.csv", "\\\\.\\COM1\\x.csv", fail("QR10008E"), null, "b"],
        ["\\\\.\\pipe\\x.csv", "\\\\.\\pipe\\x.csv", fail("QR10008E"), null, "b"]
    ];
}

function csvTextRows() {
    // CsvWrite(good path, value). The fourth column is the text that the file then holds;
    // null: no file.
    return [
        ["null", null, TYPE, null],
        ["undefined", undefined, "S_OK", ""],
        ["empty", "", "S_OK", ""],
        ["0", 0, "S_OK", "0"],
        ["-1", -1, "S_OK", "-1"],
        ["2147483647", 2147483647, "S_OK", "2147483647"],
        ["-2147483648", -2147483648, "S_OK", "-2147483648"],
        ["4294967295", 4294967295, "S_OK", "4294967295"],
        ["1.5", 1.5, "S_OK", "1.5"],
        ["true", true, "S_OK", "-1"],
        ["object", {}, "S_OK", "[object Object]"],
        ["array", [1, 2], "S_OK", "1,2"],
        ["object without a value", ODD_OBJECT, TYPE, null],
        ["10240 characters", L10K, "S_OK", L10K],
        ["40000 characters", L40K, "S_OK", L40K],
        ["format string", FORMAT, "S_OK", FORMAT],
        ["embedded NUL", WITH_NUL, "S_OK", "a"],
        ["NUL only", "\u0000", "S_OK", ""],
        ["a path as text", "\\\\?\\C:\\x\\CON.csv", "S_OK", "\\\\?\\C:\\x\\CON.csv"]
    ];
}

// The result object's six properties, each set to each kind of value: the text read back, or
// the platform's error (the property then keeps what it held).
var PROPERTIES = RESULT_PROPERTIES;
function propertyRows() {
    var kinds = [
        ["null", null, TYPE],
        ["undefined", undefined, ""],
        ["empty", "", ""],
        ["0", 0, "0"],
        ["-1", -1, "-1"],
        ["2147483647", 2147483647, "2147483647"],
        ["-2147483648", -2147483648, "-2147483648"],
        ["4294967295", 4294967295, "4294967295"],
        ["1.5", 1.5, "1.5"],
        ["true", true, "-1"],
        ["object", {}, "[object Object]"],
        ["array", [1, 2], "1,2"],
        ["object without a value", ODD_OBJECT, TYPE],
        ["10240 characters", L10K, L10K],
        ["40000 characters", L40K, L40K],
        ["format string", FORMAT, FORMAT],
        ["embedded NUL", WITH_NUL, "a"],
        ["\\\\?\\ path", "\\\\?\\C:\\x", "\\\\?\\C:\\x"],
        ["UNC path", "\\\\server\\share\\x.csv", "\\\\server\\share\\x.csv"],
        ["device path", "\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"]
    ];
    var rows = [];
    for (var p = 0; p < PROPERTIES.length; p++) {
        for (var k = 0; k < kinds.length; k++) {
            rows.push([PROPERTIES[p] + " = " + kinds[k][0], kinds[k][1], kinds[k][2], PROPERTIES[p]]);
        }
    }
    return rows;
}

// --- how each table's row is called -----------------------------------------------------

function outcomeOf(call) {
    try {
        return call();
    } catch (e) {
        return "throws " + (e.number >>> 0).toString(16);
    }
}

function word(r) {
    return r.Result + (r.DetailErrorInfo ? " " + r.DetailErrorInfo : "");
}

// The names GetXmlData 1 and 2 hand out after the read, for "S_OK #k".
var storedNames = null;

var tables = {
    read_folder: {
        rows: readFolderRows,
        call: function (row) {
            return outcomeOf(function () {
                var r = newControl().ReadXmlData(row[1], 5);
                return word(r) + (r.Result === "S_OK" ? " n=" + r.DataNum : "");
            });
        }
    },
    read_maximum: {
        rows: readMaximumRows,
        call: function (row) {
            return outcomeOf(function () {
                var r = newControl().ReadXmlData(F, row[1]);
                return word(r) + (r.Result === "S_OK" ? " n=" + r.DataNum : "");
            });
        }
    },
    get: {
        rows: getRows,
        call: function (row) {
            var c = newControl();
            var read = c.ReadXmlData(F, 5);
            if (read.Result !== "S_OK") return "the read before failed: " + word(read);
            if (!storedNames) storedNames = [c.GetXmlData(1).FileNameStr, c.GetXmlData(2).FileNameStr];
            return outcomeOf(function () {
                var r = c.GetXmlData(row[1]);
                if (r.Result !== "S_OK") return word(r);
                for (var k = 0; k < storedNames.length; k++) {
                    if (r.FileNameStr === storedNames[k]) return "S_OK #" + (k + 1);
                }
                return "S_OK of " + tfShow(r.FileNameStr);
            });
        }
    },
    argument_count: {
        rows: argumentCountRows,
        call: function (row) {
            var c = newControl(), v = row[1], name = row[0].substring(0, row[0].indexOf("("));
            return outcomeOf(function () {
                var r;
                // Each count of arguments is a call of its own: script has no spread.
                if (v.length === 0) r = c[name]();
                else if (v.length === 1) r = c[name](v[0]);
                else if (v.length === 2) r = c[name](v[0], v[1]);
                else r = c[name](v[0], v[1], v[2]);
                return word(r);
            });
        }
    },
    csv_path: {
        rows: csvPathRows,
        call: function (row) {
            return outcomeOf(function () { return word(newControl().CsvWrite(row[1], "x,y")); });
        }
    },
    csv_text: {
        rows: csvTextRows,
        call: function (row) {
            return outcomeOf(function () { return word(newControl().CsvWrite(at("text.csv"), row[1])); });
        }
    },
    property: {
        rows: propertyRows,
        call: function (row) {
            var r = new ActiveXObject("mrv.CLCGetXmlResultQR"), name = row[3];
            for (var p = 0; p < PROPERTIES.length; p++) r[PROPERTIES[p]] = "before " + p;
            var outcome = outcomeOf(function () {
                r[name] = row[1];
                return r[name];
            });
            // A refused value leaves the property as it was; no value touches the others.
            for (p = 0; p < PROPERTIES.length; p++) {
                var now = r[PROPERTIES[p]];
                if (PROPERTIES[p] === name ? (outcome.indexOf("throws") === 0 && now !== "before " + p)
                                           : now !== "before " + p) {
                    return outcome + ", and " + PROPERTIES[p] + " reads " + tfShow(now);
                }
            }
            return outcome;
        }
    }
};

// --- running ----------------------------------------------------------------------------

function writeText(path, text) {
    var stream = TF.fso.CreateTextFile(path, true);
    stream.Write(text);
    stream.Close();
}

// A file's text, or null when there is no such file.
function textOrNull(path) {
    return TF.fso.FileExists(path) ? readText(path) : null;
}

// A bounded row: the same row called in a child script, ended if it takes too long.
function runBounded(index) {
    var out = scratchFile(tableName + "-" + index + ".txt");
    if (TF.fso.FileExists(out)) TF.fso.DeleteFile(out);
    var cmd = '"' + envVar("TALLYFOLD_TFBOUND") + '" ' + BOUND_MS + ' "' + WScript.FullName + '" //nologo "' +
              WScript.ScriptFullName + '" child ' + tableName + " " + index + ' "' + out + '"';
    var code = TF.shell.Run(cmd, 0, true);
    if (code === 124) return "no outcome: the call was still running after " + BOUND_MS + " ms";
    var outcome = textOrNull(out);
    if (outcome === null) return "no outcome: the child ended with exit code " + code;
    TF.fso.DeleteFile(out);
    return outcome;
}

function fileCount() {
    var folder = TF.fso.GetFolder(F);
    return folder.Files.Count + folder.SubFolders.Count;
}

var table = tables[tableName];
if (!table) {
    WScript.Echo("FAIL: no table " + tfShow(tableName));
    TF.failed++;
    done();
}
var rows = table.rows();

if (childMode) {
    writeText(argv[3], table.call(rows[parseInt(argv[2], 10)]));
    WScript.Quit(0);
}

// The folder: two data files for the reads, and nothing else, so that a file appearing in it
// is seen.
if (TF.fso.FolderExists(F)) TF.fso.DeleteFolder(F, true);
TF.fso.CreateFolder(F);
if (tableName.indexOf("read") === 0 || tableName === "get") {
    writeText(at("a.xml"), "<a>1</a>");
    writeText(at("b.xml"), "<b>2</b>");
}
var entries = fileCount();

for (var i = 0; i < rows.length; i++) {
    (function (row, index) {
        var label = tableName + ": " + row[0];
        tfCase(label, function () {
            var bounded = row[4] === "b" || (tableName !== "csv_path" && row[3] === "b");
            if (tableName === "csv_text" && TF.fso.FileExists(at("text.csv"))) TF.fso.DeleteFile(at("text.csv"));
            var started = new Date().getTime();
            var outcome = bounded ? runBounded(index) : table.call(row);
            var took = new Date().getTime() - started;
            eq(outcome, row[2], label);
            check(bounded || took < SLOW_MS, label + ": took " + took + " ms");

            if (tableName === "csv_path" && row[3]) {
                eq(textOrNull(at(row[3])), "x,y", label + ": the file written");
                if (TF.fso.FileExists(at(row[3]))) TF.fso.DeleteFile(at(row[3]));
            }
            if (tableName === "csv_text") {
                eq(textOrNull(at("text.csv")), row[3], label + ": the file's text");
                if (TF.fso.FileExists(at("text.csv"))) TF.fso.DeleteFile(at("text.csv"));
            }
            eq(fileCount(), entries, label + ": entries in the folder afterwards");
        });
    })(rows[i], i);
}
check(!TF.fso.FolderExists("C:\\x") && !TF.fso.FolderExists("C:\\tallyfold-missing"), "no folder was created for a path");

TF.fso.DeleteFolder(F, true);
done();
