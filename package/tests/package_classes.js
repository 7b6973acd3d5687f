// After the package is installed: both classes come by each of their ProgIDs from the
// installed DLL (its path is the first argument), and each works.
var installed = WScript.Arguments(0);

tfRows([
    {name: "control, version-independent", progId: "mrv.CLCGetXmlQR", clsid: "{CDCD1A02-C10B-4854-8AF5-836A506A74DE}"},
    {name: "control, versioned", progId: "mrv.CLCGetXmlQR.1", clsid: "{CDCD1A02-C10B-4854-8AF5-836A506A74DE}"},
    {name: "result, version-independent", progId: "mrv.CLCGetXmlResultQR", clsid: "{94CBBEAE-44B4-47B2-BD92-D1C60752D8C0}"},
    {name: "result, versioned", progId: "mrv.CLCGetXmlResultQR.1", clsid: "{94CBBEAE-44B4-47B2-BD92-D1C60752D8C0}"}
], function (row) {
    eq(TF.shell.RegRead("HKCR\\CLSID\\" + row.clsid + "\\InprocServer32\\"), installed, row.name + ": server");
    var object = new ActiveXObject(row.progId);
    if (row.progId.indexOf("Result") < 0) {
        checkResult(object.ClearXmlData(), outcome({Result: "S_OK"}), row.name + ": ClearXmlData");
    } else {
        object.FileNameStr = "a.xml";
        eq(object.FileNameStr, "a.xml", row.name + ": FileNameStr read back");
    }
});

done();
