// A file the user may not read (the test runs as an unprivileged user, with the diagnostic log
// on): "QR10001E" naming it, the file before it stored, and the log record of the refusal.

var fixture = envVar("TF_FIXTURE");

tfCase("a file denied to the user", function () {
    var control = newControl();
    checkResult(control.ReadXmlData(fixture, 5), outcome({DetailErrorInfo: "QR10001E", FileNameStr: "2.xml"}),
                "ReadXmlData");
    var first = control.GetXmlData(1);
    eq(first.Result, "S_OK", "GetXmlData(1) Result");
    eq(first.FileNameStr, "1.xml", "GetXmlData(1) FileNameStr");
    eq(first.FileDataStr, "<\u4e00>1</\u4e00>", "GetXmlData(1) FileDataStr");
    eq(control.GetXmlData(2).Result, "S_FALSE", "GetXmlData(2) Result");
});

tfCase("the refusal's log record", function () {
    checkCodePage932();
    // Without the switch the read below logs nothing, and the record check could say only that.
    eq(envVar("TALLYFOLD_OUTPUT"), "1", "the log is switched on for the unprivileged run");
    var size = logSize();
    newControl().ReadXmlData(fixture, 5);
    checkLog(size, ["CLCQRReadXmlData::CheckEachFile", "\u30d5\u30a1\u30a4\u30eb\u3078\u306e\u30a2\u30af\u30bb\u30b9\u6a29\u304c\u3042\u308a\u307e\u305b\u3093\u3002"], "access denied"); // no access right to the file
});

done();
