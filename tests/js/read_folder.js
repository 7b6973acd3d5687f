// ReadXmlData over prepared folders, as a page sees it: the result properties after the read,
// the diagnostic record it appended (the test runs with the log on), then the store walked
// with GetXmlData 1 ... N and N + 1. Each row makes its files in the order in which the
// folder lists them, so "the first files stay stored" names real files.

var MiB = 1024 * 1024;

// The UTF-8 bytes of a script string, as hex text for tftool.
function utf8Hex(s) {
    var out = "";
    for (var i = 0; i < s.length; i++) {
        var c = s.charCodeAt(i);
        if (c >= 0xd800 && c <= 0xdbff && i + 1 < s.length) {
            c = 0x10000 + ((c - 0xd800) << 10) + (s.charCodeAt(++i) - 0xdc00);
        }
        if (c < 0x80) {
            out += hex2(c);
        } else if (c < 0x800) {
            out += hex2(0xc0 | (c >> 6)) + hex2(0x80 | (c & 63));
        } else if (c < 0x10000) {
            out += hex2(0xe0 | (c >> 12)) + hex2(0x80 | ((c >> 6) & 63)) + hex2(0x80 | (c & 63));
        } else {
            out += hex2(0xf0 | (c >> 18)) + hex2(0x80 | ((c >> 12) & 63)) + hex2(0x80 | ((c >> 6) & 63)) + hex2(0x80 | (c & 63));
        }
    }
    return out;
}

// What each row's files should read as once stored: a text, or {size: n} for n bytes of 'a'.
var made;

function path(folder, name) {
    return TF.fso.BuildPath(folder, name);
}

function bytes(folder, name, hex, expected) {
    check(tftool(["bytes", path(folder, name), hex]) === 0, "tftool bytes " + name);
    made.push({name: name, data: expected});
}

function text(folder, name, s) {
    bytes(folder, name, utf8Hex(s), s);
}

function sized(folder, name, n) {
    check(tftool(["size", path(folder, name), String(n)]) === 0, "tftool size " + name);
    made.push({name: name, data: {size: n}});
}

function empty(folder, name) {
    TF.fso.CreateTextFile(path(folder, name), true).Close();
    made.push({name: name, data: ""});
}

function attrib(folder, name, hex) {
    check(tftool(["attrib", path(folder, name), hex]) === 0, "tftool attrib " + name);
    check(TF.fso.GetFile(path(folder, name)).Attributes === parseInt(hex, 16),
          "the platform keeps attributes " + hex + " on " + name);
}

function dataOf(name) {
    for (var i = 0; i < made.length; i++) {
        if (made[i].name === name) return made[i].data;
    }
    return undefined;
}

// The folder's files in the platform's listing order, as the command shell lists them unsorted.
function listing(folder) {
    var out = scratchFile("dir.txt");
    TF.shell.Run('cmd.exe /c dir /b /a-d "' + folder + '" > "' + out + '"', 0, true); // 1 when there is none
    var names = readText(out);
    return names ? names.replace(/\r\n$/, "").split("\r\n") : [];
}

function checkData(actual, expected, label) {
    if (typeof expected === "string") {
        eq(actual, expected, label);
    } else {
        eq(actual.length, expected.size, label + " length");
        check(actual === repeat("a", expected.size), label + " holds the file's bytes");
    }
}

// GetXmlData 1 ... N hands out exactly these files in this order; N + 1 is out of range.
function checkStore(control, names, label) {
    for (var i = 0; i < names.length; i++) {
        var r = control.GetXmlData(i + 1);
        eq(r.Result, "S_OK", label + ": GetXmlData(" + (i + 1) + ") Result");
        eq(r.FileNameStr, names[i], label + ": GetXmlData(" + (i + 1) + ") FileNameStr");
        checkData(r.FileDataStr, dataOf(names[i]), label + ": GetXmlData(" + (i + 1) + ") FileDataStr");
    }
    var after = control.GetXmlData(names.length + 1);
    eq(after.Result, "S_FALSE", label + ": GetXmlData(" + (names.length + 1) + ") Result");
    eq(after.FileNameStr, "", label + ": GetXmlData(" + (names.length + 1) + ") FileNameStr");
}

// A certificate-like document (cscript reads scripts in the ANSI code page, so the text is
// spelled in escapes): Japanese names and text, an ideographic space, full-width digits,
// characters outside code page 932, one outside the 16-bit range, half-width katakana.
var japanese = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<\u8a3c\u660e\u66f8 \u7a2e\u5225=\"\u4f4f\u6c11\u7968\">\r\n" +
               "\t<\u6c0f\u540d>\u5c71\u7530\u3000\u592a\u90ce</\u6c0f\u540d><\u4f4f\u6240>\u6771\u4eac\u90fd\u5343\u4ee3\u7530\u533a\u971e\u304c\u95a2\uff11\uff0d\uff11\uff0d\uff11</\u4f4f\u6240>\r\n" +
               "\t<\u5099\u8003>\u9ad9\ufa11\u30fb\ud842\udfb7\u91ce\u5bb6\u30fb\u2460\u2461\u2462\u30fb\uff76\uff80\uff76\uff85\u30fb\uff5e</\u5099\u8003>\r\n</\u8a3c\u660e\u66f8>\r\n";

function success(n) {
    return outcome({Result: "S_OK", DataNum: String(n)});
}

// The records of the reader's refusals: function name and message.
var LIMIT = ["CLCQRReadXmlData::ReadXmlData", "\u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u6570 > \u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u4e0a\u9650\u6570\u3002"]; // more target files than the maximum
var NOMATCH = ["CLCQRReadXmlData::ReadXmlData", "API\u5931\u6557\u3001\u3082\u3057\u304f\u306f\u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u304c0\u4ef6\u3002"]; // API failure, or no target file
var NONE = ["CLCQRReadXmlData::ReadXmlData", "\u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u304c0\u4ef6\u3002"]; // no target file
var EMPTY = ["CLCQRReadXmlData::CheckEachFile", "\u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u306e\u4e2d\u8eab\u304c\u7a7a\u3067\u3059\u3002"]; // the target file is empty
var TOTAL = ["CLCQRReadXmlData::CheckEachFile", "\u30d5\u30a1\u30a4\u30eb\u5408\u8a08\u30b5\u30a4\u30ba > 20971520\u30d0\u30a4\u30c8\u3002"]; // total file size > 20971520 bytes
var UNEXPECTED = ["CLCQRReadXmlData::CheckEachFile", "\u4e88\u671f\u305b\u306c\u4f8b\u5916\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002"]; // an unexpected exception occurred

var held = null; // the file a tftool holds open, and its flag file

// 20 MiB of files, read and then handed to the script, need more contiguous address space
// than qemu-user leaves a 32-bit Wine process.
var BIG_UNDER_EMULATOR = "qemu-user leaves a 32-bit Wine process about 100 MB of contiguous address space " +
    "(its loader holds 0x08048000-0x7d404000 for wine-preloader): the read fits, the copies of 10 MiB texts " +
    "handed to the script do not; the x86_64 run covers it";

var rows = [
    {name: "as many candidates as the limit", max: 3,
     make: function (f) { text(f, "a.xml", "<a/>"); text(f, "b.xml", "<b>\u4e8c</b>"); text(f, "c.xml", "<c/>"); },
     log: null, expect: success(3), stored: ["a.xml", "b.xml", "c.xml"]},
    {name: "one candidate over the limit", max: 2,
     make: function (f) { text(f, "a.xml", "<a/>"); text(f, "b.xml", "<b/>"); text(f, "c.xml", "<c/>"); },
     log: LIMIT, expect: outcome({DetailErrorInfo: "QR10002E"}), stored: ["a.xml", "b.xml"]},
    {name: "the count limit comes before the file's own tests", max: 1,
     make: function (f) { text(f, "1.xml", "<one/>"); empty(f, "2.xml"); },
     log: LIMIT, expect: outcome({DetailErrorInfo: "QR10002E"}), stored: ["1.xml"]},
    {name: "empty first candidate, limit 1", max: 1,
     make: function (f) { empty(f, "1.xml"); text(f, "2.xml", "<two/>"); },
     log: EMPTY, expect: outcome({DetailErrorInfo: "QR10001E", FileNameStr: "1.xml"}), stored: []},
    {name: "empty candidate after a good one", max: 5,
     make: function (f) { text(f, "1.xml", "<one/>"); empty(f, "2.xml"); text(f, "3.xml", "<three/>"); },
     log: EMPTY, expect: outcome({DetailErrorInfo: "QR10001E", FileNameStr: "2.xml"}), stored: ["1.xml"]},
    {name: "total of exactly 20971520 bytes", max: 5, emulator: BIG_UNDER_EMULATOR,
     make: function (f) { sized(f, "1.xml", 10 * MiB); sized(f, "2.xml", 10 * MiB); },
     log: null, expect: success(2), stored: ["1.xml", "2.xml"]},
    {name: "total one byte over 20971520", max: 5, emulator: BIG_UNDER_EMULATOR,
     make: function (f) { sized(f, "1.xml", 10 * MiB); sized(f, "2.xml", 10 * MiB + 1); },
     log: TOTAL, expect: outcome({DetailErrorInfo: "QR10005E"}), stored: ["1.xml"]},
    {name: "one file over the limit on its own", max: 5,
     make: function (f) { sized(f, "1.xml", 20 * MiB + 1); },
     log: TOTAL, expect: outcome({DetailErrorInfo: "QR10005E"}), stored: []},
    {name: "only a sub-folder and a read-only file match", max: 5,
     make: function (f) {
         TF.fso.CreateFolder(path(f, "data.xml"));
         text(f, "a.xml", "<a/>");
         attrib(f, "a.xml", "21");
     },
     log: NONE, expect: outcome({DetailErrorInfo: "QR10004E"}), stored: []},
    {name: "hidden and system files are skipped", max: 5,
     make: function (f) {
         text(f, "a.xml", "<hidden/>");
         attrib(f, "a.xml", "22");
         text(f, "b.xml", "<plain/>");
         text(f, "c.xml", "<system/>");
         attrib(f, "c.xml", "24");
     },
     log: null, expect: success(1), stored: ["b.xml"]},
    {name: "no name matches *.xml", max: 5,
     make: function (f) { text(f, "a.txt", "<a/>"); text(f, "b.xml.bak", "<b/>"); },
     log: NOMATCH, expect: outcome({DetailErrorInfo: "QR10004E"}), stored: []},
    {name: "missing folder", max: 5, folder: function (f) { return path(f, "missing"); },
     make: function (f) {},
     log: NOMATCH, expect: outcome({DetailErrorInfo: "QR10004E"}), stored: []},
    {name: "extension in any letter case, and only .xml", max: 5,
     make: function (f) {
         text(f, "A.XML", "<A/>");
         text(f, "b.Xml", "<b/>");
         text(f, "c.xml.bak", "<c/>");
         text(f, "d.xmlx", "<d/>"); // matched by the pattern through its short alias
     },
     log: null, expect: success(2), stored: ["A.XML", "b.Xml"]},
    {name: "folder given with a trailing backslash", max: 5, folder: function (f) { return f + "\\"; },
     make: function (f) { text(f, "a.xml", "<a/>"); },
     log: null, expect: success(1), stored: ["a.xml"]},
    {name: "Japanese UTF-8 text and file name", max: 5,
     make: function (f) { text(f, "\u8a3c\u660e\u66f8\uff11.xml", japanese); }, // a Japanese file name
     log: null, expect: success(1), stored: ["\u8a3c\u660e\u66f8\uff11.xml"]},
    {name: "byte-order mark stripped; a file of only the mark stored empty", max: 5,
     make: function (f) {
         bytes(f, "1.xml", "efbbbf" + utf8Hex(japanese), japanese);
         bytes(f, "2.xml", "efbbbf", "");
         bytes(f, "3.xml", "efbbbfefbbbf3c612f3e", "\ufeff<a/>"); // only the first mark is the file's
     },
     log: null, expect: success(3), stored: ["1.xml", "2.xml", "3.xml"]},
    {name: "a zero byte ends the text", max: 5,
     make: function (f) { bytes(f, "a.xml", utf8Hex("<a>\u524d") + "00" + utf8Hex("\u5f8c</a>"), "<a>\u524d"); },
     log: null, expect: success(1), stored: ["a.xml"]},
    {name: "UTF-16 is decoded as UTF-8 without error", max: 5,
     make: function (f) { bytes(f, "a.xml", "fffe3c0061003e00", "\ufffd\ufffd<"); },
     log: null, expect: success(1), stored: ["a.xml"]},
    {name: "a file held open for writing elsewhere", max: 5,
     make: function (f) {
         text(f, "1.xml", "<one/>");
         text(f, "2.xml", "<two/>");
         held = {path: path(f, "2.xml")};
         held.flag = holdFile(held.path, path(f, "held.flag"));
         made.push({name: "held.flag", data: "held"});
     },
     log: UNEXPECTED, expect: outcome({DetailErrorInfo: "QR10003E"}), stored: ["1.xml"]}
];

checkCodePage932();

tfRows(rows, function (row, i) {
    var label = row.name;
    made = [];
    held = null;
    var fixture = freshFolder("read_folder_" + i);
    row.make(fixture);
    var madeNames = [];
    for (var m = 0; m < made.length; m++) madeNames.push(made[m].name);
    eq(listing(fixture).join("|"), madeNames.join("|"), label + ": the folder lists the files in the order made");

    var control = newControl(), r, size = logSize();
    try {
        r = control.ReadXmlData(row.folder ? row.folder(fixture) : fixture, row.max);
    } finally {
        if (held) releaseFile(held.path, held.flag);
    }
    checkResult(r, row.expect, label);
    checkLog(size, row.log, label);
    checkStore(control, row.stored, label);
    TF.fso.DeleteFolder(fixture, true);
});

done();
