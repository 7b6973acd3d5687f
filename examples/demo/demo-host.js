// The demo's stand-in for the page: runs examples/page/tallyfold-page.js (put in front of
// this file) under cscript. Arguments: the data folder and the CSV file to write.
// With a third argument "dialog" it first offers the folder dialog.
var args = WScript.Arguments;
var folder = args(0), csvPath = args(1);
var control = TallyfoldPage.create();
try {
    if (args.length > 2 && args(2) === "dialog") {
        var chosen = TallyfoldPage.chooseFolder(control);
        if (chosen !== null) folder = chosen;
    }
    WScript.Echo("Reading " + folder);
    var files = TallyfoldPage.readFolder(control, folder);
    for (var i = 0; i < files.length; i++) {
        WScript.Echo("  " + (i + 1) + ": " + files[i].name + " (" + files[i].data.length + " characters)");
    }
    TallyfoldPage.writeCsv(control, csvPath, TallyfoldPage.toCsv(files));
    WScript.Echo("Wrote " + files.length + " rows to " + csvPath);
    WScript.Quit(0);
} catch (e) {
    WScript.Echo("Failed: " + (e.code || "") + " " + (e.fileName || ""));
    WScript.Quit(1);
}
