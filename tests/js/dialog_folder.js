// GetFolderPath from a page's script. tfdialog.exe, started just before the call, plays the
// user: it finds the dialog, checks what a user sees (in front, not left topmost, the title
// text, nothing preselected), then chooses a folder and clicks OK, or clicks Cancel. Whatever
// goes wrong, it closes the dialog, so the call always returns.
if (!envVar("DISPLAY")) {
    WScript.Echo("SKIPPED: no X display (DISPLAY is unset): the folder dialog cannot open");
    WScript.Quit(77);
}

// The whole flow runs inside a case: Wine's cscript ends a script with code 0 on an error that
// nothing catches, so an error outside the rows must still count as a failure.
tfCase("dialog flow", function () {
    var driver = envVar("TALLYFOLD_DIALOG_DRIVER");
    var reports = freshFolder("dialog-reports");
    var chosen = freshFolder("dialog \u9078\u629e");

    var rows = [
        { name: "chosen folder", args: ["ok", chosen], expected: outcome({ Result: "S_OK", SelectFolderPath: chosen }),
          emulator: "under qemu-user the desktop process loses its RPC server thread as it starts, so choosing a folder " +
                    "never closes the dialog (a shell-only program shows the same); the x86_64 run covers it" },
        { name: "cancel", args: ["cancel"], expected: outcome({ Result: "S_FALSE" }) }
    ];

    // The driver's verdict, once it has written it ("" when none came in time). The script host
    // cannot sleep, so the driver itself does the waiting.
    function reportOf(path) {
        return runProgram(driver, ["wait", path], true) === 0 ? readText(path) : "";
    }

    // Under qemu-user the shell's folder dialog now and then never opens: SHBrowseForFolderW
    // returns at once as if cancelled (a program that only calls it did so in 4 of 120 tries,
    // and in none of 60 on x86_64). Such a call is made again, at most twice, and says so; a
    // dialog that never opens in three tries fails.
    var tries = envVar("TALLYFOLD_EMULATED") ? 3 : 1;
    var notOpened = "no folder dialog appeared\n";

    var control = newControl();
    tfRows(rows, function (row, i) {
        for (var attempt = 1; ; attempt++) {
            var report = TF.fso.BuildPath(reports, "report-" + i + "-" + attempt + ".txt");
            runProgram(driver, row.args.concat([report]), false);

            var result = control.GetFolderPath();
            var seen = reportOf(report);
            if (seen !== notOpened || attempt === tries) break;
            WScript.Echo("emulator: " + row.name + ": the folder dialog did not open (try " + attempt + " of " +
                         tries + "); trying again");
        }
        checkResult(result, row.expected, row.name);
        eq(seen, "ok", row.name + ": what the user saw and did");
    });
});
done();
