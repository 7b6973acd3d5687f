// The control's side of reading: the folder path and maximum it refuses (and the store it
// empties even then), the blanks it trims, GetXmlData's range, ClearXmlData, and a result
// object that outlives its control. Runs with the diagnostic log on: each refusal leaves its
// record, and what is no refusal leaves none.

var folder = freshFolder("read_control");
var files = [["a.xml", "<a>1</a>"], ["b.xml", "<b>2</b>"], ["c.xml", "<c>3</c>"]];
for (var f = 0; f < files.length; f++) {
    var stream = TF.fso.CreateTextFile(TF.fso.BuildPath(folder, files[f][0]), true);
    stream.Write(files[f][1]);
    stream.Close();
}

// A control whose store holds the three files.
function filledControl(label) {
    var control = newControl();
    eq(control.ReadXmlData(folder, 5).DataNum, "3", label + ": the store is filled first");
    return control;
}

// Each blank character alone, all of them together, and nothing at all: refused as an empty
// path, and the store that held files before is empty afterwards.
var blanks = [
    ["space", " "], ["ideographic space", "\u3000"], ["tab", "\t"], ["carriage return", "\r"],
    ["line feed", "\n"], ["form feed", "\u000c"], ["vertical tab", "\u000b"],
    ["all seven", "\u3000 \t\r\n\u000c\u000b\u3000"], ["empty string", ""]
];
var EMPTY_PATH = ["CLCGetXmlQR::ReadXmlData", "\u30d5\u30a9\u30eb\u30c0\u30d1\u30b9\u304c\u7a7a\u6587\u5b57\u3067\u3057\u305f\u3002"]; // the folder path was an empty string
var BAD_MAX = ["CLCGetXmlQR::ReadXmlData", "\u4e0a\u9650\u6570\u304c0\u3001\u307e\u305f\u306f1\u3088\u308a\u5c0f\u3055\u3044\u3002"]; // the maximum is 0 or less than 1
var NOMATCH = ["CLCQRReadXmlData::ReadXmlData", "API\u5931\u6557\u3001\u3082\u3057\u304f\u306f\u5bfe\u8c61\u30d5\u30a1\u30a4\u30eb\u304c0\u4ef6\u3002"]; // API failure, or no target file

var refused = [];
for (var b = 0; b < blanks.length; b++) {
    refused.push({name: "path of " + blanks[b][0], path: blanks[b][1], max: 5, log: EMPTY_PATH,
                  expect: outcome({DetailErrorInfo: "QR10003E"})});
}
refused.push({name: "maximum 0", path: folder, max: 0, log: BAD_MAX, expect: outcome({DetailErrorInfo: "QR10003E"})});
refused.push({name: "maximum -5", path: folder, max: -5, log: BAD_MAX, expect: outcome({DetailErrorInfo: "QR10003E"})});
refused.push({name: "blank path and maximum 0", path: " ", max: 0, log: EMPTY_PATH, expect: outcome({DetailErrorInfo: "QR10003E"})});
// Blanks outside the trimmed set are part of the path: the folder is then not found.
refused.push({name: "no-break space is not trimmed", path: "\u00a0", max: 5, log: NOMATCH,
              expect: outcome({DetailErrorInfo: "QR10004E"})});
refused.push({name: "em space is not trimmed", path: "\u2003" + folder, max: 5, log: NOMATCH,
              expect: outcome({DetailErrorInfo: "QR10004E"})});
refused.push({name: "a later read that finds no folder", path: folder + "\\missing", max: 5, log: NOMATCH,
              expect: outcome({DetailErrorInfo: "QR10004E"})});

tfRows(refused, function (row) {
    var control = filledControl(row.name), size = logSize();
    checkResult(control.ReadXmlData(row.path, row.max), row.expect, row.name);
    checkLog(size, row.log, row.name);
    eq(control.GetXmlData(1).Result, "S_FALSE", row.name + ": store emptied, GetXmlData(1) Result");
});

tfCase("leading and trailing blanks are trimmed from the folder path", function () {
    var control = newControl();
    checkResult(control.ReadXmlData("\u3000 \t" + folder + " \t\r\n\u000c\u000b\u3000", 5),
                outcome({Result: "S_OK", DataNum: "3"}), "blanks around the folder");
});

// After a read of N = 3 files: every index of the table, in an order that asks for one twice
// and for a later one before an earlier one.
var indexes = [
    [2, outcome({Result: "S_OK", FileNameStr: "b.xml", FileDataStr: "<b>2</b>"})],
    [2, outcome({Result: "S_OK", FileNameStr: "b.xml", FileDataStr: "<b>2</b>"})],
    [3, outcome({Result: "S_OK", FileNameStr: "c.xml", FileDataStr: "<c>3</c>"})],
    [1, outcome({Result: "S_OK", FileNameStr: "a.xml", FileDataStr: "<a>1</a>"})],
    [0, outcome({Result: "S_FALSE"})],
    [4, outcome({Result: "S_FALSE"})],
    [-1, outcome({Result: "S_FALSE"})],
    [2147483647, outcome({Result: "S_FALSE"})],
    [-2147483648, outcome({Result: "S_FALSE"})]
];
tfCase("GetXmlData indexes", function () {
    var control = filledControl("GetXmlData"), size = logSize();
    for (var n = 0; n < indexes.length; n++) {
        checkResult(control.GetXmlData(indexes[n][0]), indexes[n][1], "GetXmlData(" + indexes[n][0] + ") #" + n);
    }
    checkLog(size, null, "GetXmlData");
});

tfCase("ClearXmlData keeps DataNum and empties the store", function () {
    var control = filledControl("ClearXmlData"), size = logSize();
    checkResult(control.ClearXmlData(), outcome({Result: "S_OK", DataNum: "3"}), "ClearXmlData");
    checkLog(size, null, "ClearXmlData");
    checkResult(control.GetXmlData(1), outcome({Result: "S_FALSE"}), "GetXmlData(1) after ClearXmlData");
    checkResult(control.ReadXmlData(folder, 5), outcome({Result: "S_OK", DataNum: "3"}), "a new read after ClearXmlData");
    eq(control.GetXmlData(1).FileNameStr, "a.xml", "keys start again at 1");
});

tfCase("a result object outlives its control with the last values", function () {
    var control = newControl();
    var first = control.ReadXmlData(folder, 5);
    var last = control.GetXmlData(3);
    control = null;
    CollectGarbage();
    checkResult(last, outcome({Result: "S_OK", FileNameStr: "c.xml", FileDataStr: "<c>3</c>"}), "after the control is gone");
    checkResult(first, outcome({Result: "S_OK", FileNameStr: "c.xml", FileDataStr: "<c>3</c>"}),
                "the first call's reference shows the same object");
});

done();
