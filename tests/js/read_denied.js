// A file the user may not read (the test runs as an unprivileged user): "QR10001E" naming
// it, the file before it stored, and the log record of the refusal.

// The read that leaves the log record runs in a second script host started with the log
// switched on, since this test's own environment cannot be given the variable.
if (WScript.Arguments.length === 1 && WScript.Arguments(0) === "logged") {
    newControl().ReadXmlData(envVar("TF_FIXTURE"), 5);
    WScript.Quit(0);
}

function hex2(b) {
    return ("0" + b.toString(16)).slice(-2);
}

// The diagnostic log: the day's file in the temporary folder, read back as hex through tftool.
var hexOut = TF.fso.BuildPath(TF.fso.GetSpecialFolder(2).Path, "read_denied_hex.txt");

function pad2(n) {
    return (n < 10 ? "0" : "") + n;
}

function logFile() {
    var d = new Date();
    return TF.fso.BuildPath(TF.fso.GetSpecialFolder(2).Path,
                            "_MRV_TALLYFOLD_" + d.getFullYear() + pad2(d.getMonth() + 1) + pad2(d.getDate()) + ".log");
}

function logSize() {
    return TF.fso.FileExists(logFile()) ? TF.fso.GetFile(logFile()).Size : 0;
}

function readHex() {
    var stream = TF.fso.OpenTextFile(hexOut, 1);
    var hex = stream.AtEndOfStream ? "" : stream.ReadAll();
    stream.Close();
    return hex;
}

function asciiHex(s) {
    var out = "";
    for (var i = 0; i < s.length; i++) out += hex2(s.charCodeAt(i));
    return out.toUpperCase();
}

// The text in the ANSI code page, converted by the platform rather than by the compiler.
function ansiHex(s) {
    check(tftool(["ansi", s, hexOut]) === 0, "tftool ansi");
    return readHex();
}

function countAligned(hex, needle) {
    var n = 0;
    for (var at = hex.indexOf(needle); at >= 0; at = hex.indexOf(needle, at + 1)) {
        if (at % 2 === 0) n++;
    }
    return n;
}

// The records appended since the log held `size` bytes: none when `expected` is null, else
// exactly one, whose message line follows the header naming the function.
function checkLog(size, expected, label) {
    var hex = "";
    if (TF.fso.FileExists(logFile())) {
        check(tftool(["hex", logFile(), hexOut]) === 0, label + ": tftool hex of the log");
        hex = readHex().substring(2 * size);
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

var fixture = envVar("TF_FIXTURE");

tfCase("a file denied to the user", function () {
    var control = newControl();
    checkResult(control.ReadXmlData(fixture, 5),
                {Result: "E_FAIL", DetailErrorInfo: "QR10001E", SelectFolderPath: "", FileNameStr: "2.xml", FileDataStr: "", DataNum: ""},
                "ReadXmlData");
    var first = control.GetXmlData(1);
    eq(first.Result, "S_OK", "GetXmlData(1) Result");
    eq(first.FileNameStr, "1.xml", "GetXmlData(1) FileNameStr");
    eq(first.FileDataStr, "<\u4e00>1</\u4e00>", "GetXmlData(1) FileDataStr");
    eq(control.GetXmlData(2).Result, "S_FALSE", "GetXmlData(2) Result");
});

tfCase("the refusal's log record", function () {
    eq(ansiHex("\u4e88\u671f\u305b\u306c"), "975C8AFA82B982CA", "the ANSI code page is 932");
    var size = logSize();
    var command = 'cmd.exe /c set TALLYFOLD_OUTPUT=1&& "' + WScript.FullName + '" //nologo "' + WScript.ScriptFullName + '" logged';
    eq(TF.shell.Run(command, 0, true), 0, "the logged read ran");
    checkLog(size, ["CLCQRReadXmlData::CheckEachFile", "\u30d5\u30a1\u30a4\u30eb\u3078\u306e\u30a2\u30af\u30bb\u30b9\u6a29\u304c\u3042\u308a\u307e\u305b\u3093\u3002"], "access denied"); // no access right to the file
});

done();
