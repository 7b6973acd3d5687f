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

function newControl() {
    return new ActiveXObject("mrv.CLCGetXmlQR");
}

function envVar(name) {
    return TF.shell.Environment("PROCESS").Item(name);
}

// A new empty folder under the temporary folder.
function freshFolder(name) {
    var root = TF.fso.BuildPath(TF.fso.GetSpecialFolder(2).Path, "tallyfold-tests");
    if (!TF.fso.FolderExists(root)) TF.fso.CreateFolder(root);
    var path = TF.fso.BuildPath(root, name);
    if (TF.fso.FolderExists(path)) TF.fso.DeleteFolder(path, true);
    TF.fso.CreateFolder(path);
    return path;
}

// Runs tftool (tests/tools) with the given arguments and returns its exit code.
function tftool(args) {
    var cmd = '"' + envVar("TALLYFOLD_TFTOOL") + '"';
    for (var i = 0; i < args.length; i++) cmd += ' "' + args[i] + '"';
    return TF.shell.Run(cmd, 0, true);
}

function done() {
    WScript.Echo(TF.passed + " passed, " + TF.failed + " failed");
    WScript.Quit(TF.failed ? 1 : 0);
}
