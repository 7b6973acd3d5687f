// The page's hand-out loop, timed from script: GetXmlData(i), then FileNameStr and
// FileDataStr, over every stored file, against the same loop reading the same texts from
// Scripting.Dictionary objects. A third loop spells the member names in lower case: the
// names still resolve (the type information ignores case) but the name cache, which
// compares exactly, cannot serve them, so that loop shows the rate without the cache.
//
// Arguments: the folder of XML files, the number of rounds. Prints one line per timed loop,
// "<round> <loop> <files handed out> <milliseconds>", or "error <text>" and exit code 1.
var args = WScript.Arguments;
var folder = args(0), rounds = parseInt(args(1), 10);

function fail(text) {
    WScript.Echo("error " + text);
    WScript.Quit(1);
}

var control = new ActiveXObject("mrv.CLCGetXmlQR");
var r = control.ReadXmlData(folder, 100);
if (r.Result !== "S_OK") fail("ReadXmlData: " + r.Result + " " + r.DetailErrorInfo);
var count = parseInt(r.DataNum, 10);

// The dictionaries hold exactly what the control hands out.
var names = new ActiveXObject("Scripting.Dictionary");
var texts = new ActiveXObject("Scripting.Dictionary");
for (var i = 1; i <= count; i++) {
    r = control.GetXmlData(i);
    if (r.Result !== "S_OK") fail("GetXmlData(" + i + "): " + r.Result + " " + r.DetailErrorInfo);
    names.Add(i, r.FileNameStr);
    texts.Add(i, r.FileDataStr);
}

// Each loop hands out every file `passes` times and returns the total length it saw, which
// must be the same for all three: the loops do the same work.
var loops = {
    component: function (passes) {
        var total = 0, r, n, d;
        for (var p = 0; p < passes; p++) {
            for (var i = 1; i <= count; i++) {
                r = control.GetXmlData(i);
                n = r.FileNameStr;
                d = r.FileDataStr;
                total += n.length + d.length;
            }
        }
        return total;
    },
    uncached: function (passes) {
        var total = 0, r, n, d;
        for (var p = 0; p < passes; p++) {
            for (var i = 1; i <= count; i++) {
                r = control.getxmldata(i);
                n = r.filenamestr;
                d = r.filedatastr;
                total += n.length + d.length;
            }
        }
        return total;
    },
    dictionary: function (passes) {
        var total = 0, n, d;
        for (var p = 0; p < passes; p++) {
            for (var i = 1; i <= count; i++) {
                n = names.Item(i);
                d = texts.Item(i);
                total += n.length + d.length;
            }
        }
        return total;
    }
};
// Each compared loop runs right beside the dictionary's, on one side of it in even rounds and
// on the other in odd ones, so that a slow spell of the machine falls on both sides of a ratio.
var order = ["component", "dictionary", "uncached"];

var expected = loops.dictionary(1);
for (var k = 0; k < order.length; k++) {
    var seen = loops[order[k]](1);
    if (seen !== expected) fail(order[k] + " saw " + seen + " characters, the dictionary " + expected);
}

// Enough passes that the slowest loop runs for about a third of a second: the clock ticks in
// milliseconds.
var passes = 1;
for (;;) {
    var start = new Date().getTime();
    loops.uncached(passes);
    if (new Date().getTime() - start >= 330) break;
    passes *= 2;
}

for (var round = 0; round < rounds; round++) {
    for (var k = 0; k < order.length; k++) {
        var name = order[round % 2 === 0 ? k : order.length - 1 - k];
        var start = new Date().getTime();
        loops[name](passes);
        WScript.Echo(round + " " + name + " " + passes * count + " " + (new Date().getTime() - start));
    }
}
control.ClearXmlData();
