// The two classes as a page sees them: created by ProgID, properties as strings, one result
// object per control, failures as values rather than exceptions.

tfCase("fresh result object", function () {
    var r = new ActiveXObject("mrv.CLCGetXmlResultQR");
    for (var i = 0; i < RESULT_PROPERTIES.length; i++) {
        eq(typeof r[RESULT_PROPERTIES[i]], "string", "fresh " + RESULT_PROPERTIES[i] + " type");
        eq(r[RESULT_PROPERTIES[i]], "", "fresh " + RESULT_PROPERTIES[i]);
    }
});

tfCase("versioned ProgIDs", function () {
    check(new ActiveXObject("mrv.CLCGetXmlQR.1") !== null, "mrv.CLCGetXmlQR.1 creates");
    check(new ActiveXObject("mrv.CLCGetXmlResultQR.1") !== null, "mrv.CLCGetXmlResultQR.1 creates");
});

tfCase("every property set and read back", function () {
    var r = new ActiveXObject("mrv.CLCGetXmlResultQR");
    for (var i = 0; i < RESULT_PROPERTIES.length; i++) {
        var text = RESULT_PROPERTIES[i] + " \u8a3c\u660e\u66f8\u3000" + i;
        r[RESULT_PROPERTIES[i]] = text;
        eq(r[RESULT_PROPERTIES[i]], text, "set " + RESULT_PROPERTIES[i]);
    }
    for (i = 0; i < RESULT_PROPERTIES.length; i++) {
        eq(r[RESULT_PROPERTIES[i]], RESULT_PROPERTIES[i] + " \u8a3c\u660e\u66f8\u3000" + i, "others untouched: " + RESULT_PROPERTIES[i]);
    }
});

tfCase("DataNum is text", function () {
    var r = new ActiveXObject("mrv.CLCGetXmlResultQR");
    r.DataNum = 42;
    eq(r.DataNum, "42", "number assigned to DataNum");
    eq(typeof r.DataNum, "string", "DataNum type");
    r.DataNum = "007";
    eq(r.DataNum, "007", "text assigned to DataNum stays as given");
});

tfCase("one result object per control, handed out by every method", function () {
    var c = newControl();
    var first = c.ClearXmlData();
    eq(first.Result, "S_OK", "ClearXmlData result");
    var second = c.GetXmlData(0);
    eq(first.Result, "S_FALSE", "the first object shows the second call's outcome");
    check(first === second, "both calls returned the same object");

    var other = newControl().ClearXmlData();
    c.GetXmlData(1);
    eq(other.Result, "S_OK", "another control's result object is its own");
});

tfCase("failures are values, not exceptions", function () {
    var c = newControl();
    var rows = [
        {call: function () { return c.ReadXmlData("", 1); }, Result: "E_FAIL", DetailErrorInfo: "QR10003E", label: "ReadXmlData('')"},
        {call: function () { return c.ReadXmlData("C:\\", 0); }, Result: "E_FAIL", DetailErrorInfo: "QR10003E", label: "ReadXmlData(max 0)"},
        {call: function () { return c.GetXmlData(-1); }, Result: "S_FALSE", DetailErrorInfo: "", label: "GetXmlData(-1)"},
        {call: function () { return c.GetXmlData(1); }, Result: "S_FALSE", DetailErrorInfo: "", label: "GetXmlData(1) of nothing"},
        {call: function () { return c.CsvWrite("", "x"); }, Result: "E_FAIL", DetailErrorInfo: "QR10006E", label: "CsvWrite('')"},
        {call: function () { return c.ClearXmlData(); }, Result: "S_OK", DetailErrorInfo: "", label: "ClearXmlData()"}
    ];
    for (var i = 0; i < rows.length; i++) {
        var r = rows[i].call();
        checkResult(r, {Result: rows[i].Result, DetailErrorInfo: rows[i].DetailErrorInfo}, rows[i].label);
    }
});

tfCase("the result object outlives its control", function () {
    var c = newControl();
    var r = c.CsvWrite("out.txt", "x");
    c = null;
    CollectGarbage();
    checkResult(r, {Result: "E_FAIL", DetailErrorInfo: "QR10007E"}, "after the control is gone");
});

tfCase("an unknown member is the platform's error", function () {
    var c = newControl(), threw = false;
    try { c.NoSuchMethod(); } catch (e) { threw = true; }
    check(threw, "calling an unknown member throws");
});

done();
