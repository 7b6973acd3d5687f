// Put in front of every script test by tools/run-js.sh. A plain assert library for cscript:
// each check prints a line on failure, done() prints "N passed, N failed" and sets the exit code.
var TF = {
    passed: 0,
    failed: 0,
    fso: new ActiveXObject("Scripting.FileSystemObject"),
    shell: new ActiveXObject("WScript.Shell")
};

// Non-ASCII characters as \uXXXX, so that a failure message reads the same in any console.
function tfShow(value) {
    if (value === null) return "null";
    if (value === undefined) return "undefined";
    var s = String(value), out = "";
    for (var i = 0; i < s.length; i++) {
        var c = s.charCodeAt(i);
        out += (c >= 0x20 && c < 0x7f) ? s.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
    }
    return (typeof value === "string") ? '"' + out + '"' : out;
}

function check(condition, message) {
    if (condition) {
        TF.passed++;
    } else {
        TF.failed++;
        WScript.Echo("FAIL: " + message);
    }
    return condition;
}

function eq(actual, expected, message) {
    return check(actual === expected, message + ": expected " + tfShow(expected) + ", got " + tfShow(actual));
}

// Runs one named case; an exception fails the case instead of ending the script.
function tfCase(name, body) {
    try {
        body();
    } catch (e) {
        TF.failed++;
        WScript.Echo("FAIL: " + name + ": exception " + (e.number !== undefined ? "0x" + (e.number >>> 0).toString(16) + " " : "") + tfShow(e.message));
    }
}

// Checks every named property of a result object against a row of expected values.
function checkResult(result, expected, label) {
    for (var name in expected) {
        eq(result[name], expected[name], label + ": " + name);
    }
}

// A case that cannot give a true answer here names itself and the reason on a "left out: "
// line, which the test runner lists at the end, and is not run.
function leftOut(name, why) {
    WScript.Echo("left out: " + WScript.ScriptName + ": " + name + ": " + why);
}

// Why a row of a table cannot run here, or "". A row's "emulator" member gives the reason it
// cannot run under qemu-user (with-wine.sh then sets TALLYFOLD_EMULATED); a row with
// "fullDisk" writes to the small filesystem that run-js.sh mounts (TF_FULL_DISK), as root only.
function whyNotHere(row) {
    if (row.emulator && envVar("TALLYFOLD_EMULATED")) return row.emulator;
    if (row.fullDisk && !envVar("TF_FULL_DISK")) return "no small filesystem to fill here (mounting one takes root)";
    return "";
}

// Runs each row of a table as a case named by the row: body(row, index).
function tfRows(rows, body) {
    for (var i = 0; i < rows.length; i++) {
        var why = whyNotHere(rows[i]);
        if (why) {
            leftOut(rows[i].name, why);
            continue;
        }
        (function (row, index) {
            tfCase(row.name, function () { body(row, index); });
        })(rows[i], i);
    }
}

function newControl() {
    return new ActiveXObject("mrv.CLCGetXmlQR");
}

// The properties of a result object, and a row of them for checkResult: every one empty and
// Result "E_FAIL", except the fields given.
var RESULT_PROPERTIES = ["Result", "DetailErrorInfo", "SelectFolderPath", "FileNameStr", "FileDataStr", "DataNum"];

function outcome(fields) {
    var row = {};
    for (var i = 0; i < RESULT_PROPERTIES.length; i++) row[RESULT_PROPERTIES[i]] = "";
    row.Result = "E_FAIL";
    for (var k in fields) row[k] = fields[k];
    return row;
}

function envVar(name) {
    return TF.shell.Environment("PROCESS").Item(name);
}

// The tests' own folder under the temporary folder, made when first asked for.
function tfTempRoot() {
    var root = TF.fso.BuildPath(TF.fso.GetSpecialFolder(2).Path, "tallyfold-tests");
    if (!TF.fso.FolderExists(root)) TF.fso.CreateFolder(root);
    return root;
}

// A new empty folder under the temporary folder.
function freshFolder(name) {
    var path = TF.fso.BuildPath(tfTempRoot(), name);
    if (TF.fso.FolderExists(path)) TF.fso.DeleteFolder(path, true);
    TF.fso.CreateFolder(path);
    return path;
}

// A scratch file of this script under the temporary folder (the name keeps scripts apart).
function scratchFile(name) {
    return TF.fso.BuildPath(tfTempRoot(), WScript.ScriptName + "." + name);
}

// A text file's whole content, "" when it is empty (ReadAll fails on an empty file).
function readText(path) {
    var stream = TF.fso.OpenTextFile(path, 1);
    try {
        return stream.AtEndOfStream ? "" : stream.ReadAll();
    } finally {
        stream.Close();
    }
}

// Starts a program with the given arguments, each quoted; with wait, returns its exit code.
function runProgram(program, args, wait) {
    var cmd = '"' + program + '"';
    for (var i = 0; i < args.length; i++) cmd += ' "' + args[i] + '"';
    return TF.shell.Run(cmd, 0, wait);
}

// Runs tftool (tests/tools) with the given arguments and returns its exit code.
function tftool(args) {
    return runProgram(envVar("TALLYFOLD_TFTOOL"), args, true);
}

// Polls until test() holds or ms have passed: WScript.Sleep fails (E_NOTIMPL) in this host.
function waitFor(test, ms) {
    var end = new Date().getTime() + ms;
    while (!test() && new Date().getTime() < end) {}
    return test();
}

// A byte as two hex digits.
function hex2(b) {
    return ("0" + b.toString(16)).slice(-2);
}

// ASCII text as hex text of its bytes, in upper case as tftool writes them.
function asciiHex(s) {
    var out = "";
    for (var i = 0; i < s.length; i++) out += hex2(s.charCodeAt(i));
    return out.toUpperCase();
}

// The bytes of a file as hex text, or null when tftool cannot read it.
function fileHex(path) {
    var out = scratchFile("hex.txt");
    if (tftool(["hex", path, out]) !== 0) return null;
    return readText(out);
}

// The text in the ANSI code page as hex text, converted by the platform rather than by the
// compiler.
function ansiHex(s) {
    var out = scratchFile("ansi.txt");
    check(tftool(["ansi", s, out]) === 0, "tftool ansi " + tfShow(s));
    return readText(out);
}

// The first place of needle in hex at or after from that falls on a byte boundary, or -1.
function findHex(hex, needle, from) {
    for (var at = hex.indexOf(needle, from || 0); at >= 0; at = hex.indexOf(needle, at + 1)) {
        if (at % 2 === 0) return at;
    }
    return -1;
}

// How many times needle stands in hex on a byte boundary.
function countAligned(hex, needle) {
    var n = 0;
    for (var at = findHex(hex, needle, 0); at >= 0; at = findHex(hex, needle, at + 1)) n++;
    return n;
}

// n copies of text, made by doubling: a loop over millions of characters is slow in the host.
function repeat(text, n) {
    var out = "";
    for (var piece = text; n > 0; n >>= 1, piece += piece) {
        if (n & 1) out += piece;
    }
    return out;
}

// Has tftool hold the file open with no sharing; returns the flag file (path + ".held" unless
// one is named) whose removal through releaseFile lets it go.
function holdFile(path, flag) {
    flag = flag || path + ".held";
    runProgram(envVar("TALLYFOLD_TFTOOL"), ["hold", path, flag], false);
    check(waitFor(function () { return TF.fso.FileExists(flag); }, 20000), "the file is held open: " + path);
    return flag;
}

// Lets a held file go and waits until the holder has closed it. The holder may still be writing
// its flag when the call is done, so removing the flag is retried.
function releaseFile(path, flag) {
    waitFor(function () {
        try {
            if (TF.fso.FileExists(flag)) TF.fso.DeleteFile(flag);
            return true;
        } catch (e) {
            return false;
        }
    }, 10000);
    waitFor(function () { return fileHex(path) !== null; }, 10000);
}

// The diagnostic log (written when TALLYFOLD_OUTPUT is set): the day's file in the temporary
// folder, and its size in bytes now (0 when there is none).
function logFile() {
    var d = new Date();
    function pad2(n) { return (n < 10 ? "0" : "") + n; }
    return TF.fso.BuildPath(TF.fso.GetSpecialFolder(2).Path,
                            "_MRV_TALLYFOLD_" + d.getFullYear() + pad2(d.getMonth() + 1) + pad2(d.getDate()) + ".log");
}

function logSize() {
    return TF.fso.FileExists(logFile()) ? TF.fso.GetFile(logFile()).Size : 0;
}

// The log bytes mean something only when the platform's ANSI code page is 932.
function checkCodePage932() {
    eq(ansiHex("\u4e88\u671f\u305b\u306c"), "975C8AFA82B982CA", "the ANSI code page is 932");
}

// The records appended since the log held `size` bytes: none when `expected` is null, else
// exactly one, [function, message], whose message line follows the header naming the function.
function checkLog(size, expected, label) {
    var hex = "";
    if (TF.fso.FileExists(logFile())) {
        hex = fileHex(logFile());
        check(hex !== null, label + ": tftool hex of the log");
        hex = (hex || "").substring(2 * size);
    }
    var records = countAligned(hex, asciiHex("\r\n[File:"));
    if (!expected) {
        eq(records, 0, label + ": log records");
        return;
    }
    eq(records, 1, label + ": log records");
    eq(countAligned(hex, asciiHex(" " + expected[0] + "--\r\n") + ansiHex(expected[1]) + asciiHex("\r\n[File:")), 1,
       label + ": record of " + expected[0] + " with its message");
}

function done() {
    WScript.Echo(TF.passed + " passed, " + TF.failed + " failed");
    WScript.Quit(TF.failed ? 1 : 0);
}
