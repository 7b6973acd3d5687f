// The page's use of Tallyfold: choose a folder, read its XML data files one at a time,
// compose a CSV of them and write it. The sample page (index.html) and the demo run this
// same file; a page author copies it.
//
// Every call returns the same result object. A call never throws for a failure of its
// work: Result is "S_OK", "S_FALSE" or "E_FAIL", and with "E_FAIL" DetailErrorInfo holds
// a code whose text for the user is in TallyfoldPage.messages.
var TallyfoldPage = {
    // The text the page shows for each code (Japanese; the \u escapes keep this file ASCII).
    messages: {
        // The certificates etc. (XML data) could not be read correctly.
        QR10001E: "\u8a3c\u660e\u66f8\u7b49\uff08XML\u30c7\u30fc\u30bf\uff09\u3092\u6b63\u3057\u304f\u8aad\u307f\u8fbc\u3080\u3053\u3068\u304c\u3067\u304d\u307e\u305b\u3093\u3067\u3057\u305f\u3002",
        // More than 100 pages in all: the certificates with QR code cannot be made.
        QR10002E: "\u8a3c\u660e\u66f8\u7b49\uff08XML\u30c7\u30fc\u30bf\uff09\u306e\u5408\u8a08\u304c\uff11\uff10\uff10\u30da\u30fc\u30b8\u3092\u8d85\u3048\u3066\u3044\u308b\u305f\u3081\u3001QR\u30b3\u30fc\u30c9\u4ed8\u8a3c\u660e\u66f8\u7b49\u3092\u4f5c\u6210\u3059\u308b\u3053\u3068\u304c\u3067\u304d\u307e\u305b\u3093\u3002",
        // An unexpected error occurred.
        QR10003E: "\u60f3\u5b9a\u3057\u306a\u3044\u30a8\u30e9\u30fc\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002",
        // Cannot read, for instance because no file exists; choose the right folder.
        QR10004E: "\u30d5\u30a1\u30a4\u30eb\u304c\u5b58\u5728\u3057\u306a\u3044\u306a\u3069\u306e\u7406\u7531\u306b\u3088\u308a\u3001\u8aad\u307f\u8fbc\u3080\u3053\u3068\u304c\u3067\u304d\u307e\u305b\u3093\u3002\u6b63\u3057\u3044\u30d5\u30a9\u30eb\u30c0\u3092\u9078\u629e\u3057\u3066\u304f\u3060\u3055\u3044\u3002",
        // The files are too large in all to be read.
        QR10005E: "\u30d5\u30a1\u30a4\u30eb\u306e\u5408\u8a08\u30b5\u30a4\u30ba\u304c\u5927\u304d\u3059\u304e\u308b\u70ba\u3001\u8aad\u307f\u8fbc\u3080\u3053\u3068\u304c\u3067\u304d\u307e\u305b\u3093\u3002",
        // Give a file name.
        QR10006E: "\u30d5\u30a1\u30a4\u30eb\u540d\u3092\u6307\u5b9a\u3057\u3066\u304f\u3060\u3055\u3044\u3002",
        // The extension is wrong; give a name ending in .csv or .CSV.
        QR10007E: "\u6307\u5b9a\u3055\u308c\u305f\u30d5\u30a1\u30a4\u30eb\u540d\u306e\u62e1\u5f35\u5b50\u306b\u8aa4\u308a\u304c\u3042\u308a\u307e\u3059\u3002<br>\u300c.csv\u300d\u300c.CSV\u300d\u5f62\u5f0f\u306e\u30d5\u30a1\u30a4\u30eb\u540d\u3092\u6307\u5b9a\u3057\u3066\u304f\u3060\u3055\u3044\u3002",
        // The output folder does not exist.
        QR10008E: "\u51fa\u529b\u5148\u30d5\u30a9\u30eb\u30c0\u304c\u5b58\u5728\u3057\u307e\u305b\u3093\u3002",
        // No right of access to the file.
        QR10009E: "\u30d5\u30a1\u30a4\u30eb\u3078\u306e\u30a2\u30af\u30bb\u30b9\u6a29\u304c\u3042\u308a\u307e\u305b\u3093\u3002",
        // Writing the file failed.
        QR10010E: "\u30d5\u30a1\u30a4\u30eb\u306e\u66f8\u304d\u8fbc\u307f\u306b\u5931\u6557\u3057\u307e\u3057\u305f\u3002",
        // Called from a page that may not use the component (origin-locked builds only).
        QR10011E: "\u8a31\u53ef\u3055\u308c\u3066\u3044\u306a\u3044\u30da\u30fc\u30b8\u304b\u3089\u547c\u3073\u51fa\u3055\u308c\u305f\u305f\u3081\u3001\u51e6\u7406\u3067\u304d\u307e\u305b\u3093\u3002"
    },

    // The most files the service accepts in one batch.
    maxFiles: 100,

    create: function () {
        return new ActiveXObject("mrv.CLCGetXmlQR");
    },

    // Shows the folder dialog. Returns the chosen path, or null when the user cancelled.
    chooseFolder: function (control) {
        var r = control.GetFolderPath();
        if (r.Result === "S_OK") return r.SelectFolderPath;
        if (r.Result === "S_FALSE") return null;
        throw TallyfoldPage.failure(r);
    },

    // Reads every XML data file of the folder: [{name, data}] in the folder's order.
    readFolder: function (control, folder) {
        var r = control.ReadXmlData(folder, TallyfoldPage.maxFiles);
        if (r.Result !== "S_OK") throw TallyfoldPage.dropAfter(control, r);
        // DataNum is text, and the next call clears it: read it first.
        var count = parseInt(r.DataNum, 10), files = [];
        for (var i = 1; i <= count; i++) {
            r = control.GetXmlData(i);
            if (r.Result !== "S_OK") throw TallyfoldPage.dropAfter(control, r);
            files.push({name: r.FileNameStr, data: r.FileDataStr});
        }
        control.ClearXmlData();
        return files;
    },

    // One CSV row per file: name, then the text of a few elements of the certificate.
    toCsv: function (files) {
        var fields = ["Number", "Title", "Holder", "IssueDate"];
        // Header: file name, number, title, holder, issue date.
        var lines = ["\u30d5\u30a1\u30a4\u30eb\u540d,\u756a\u53f7,\u8868\u984c,\u6c0f\u540d,\u767a\u884c\u65e5"];
        for (var i = 0; i < files.length; i++) {
            var row = [TallyfoldPage.csvField(files[i].name)];
            for (var f = 0; f < fields.length; f++) {
                var m = new RegExp("<" + fields[f] + ">([^<]*)</" + fields[f] + ">").exec(files[i].data);
                row.push(TallyfoldPage.csvField(m ? m[1] : ""));
            }
            lines.push(row.join(","));
        }
        return lines.join("\r\n") + "\r\n";
    },

    csvField: function (text) {
        return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
    },

    // Writes the text to the path (in the system's ANSI code page).
    writeCsv: function (control, path, text) {
        var r = control.CsvWrite(path, text);
        if (r.Result !== "S_OK") throw TallyfoldPage.failure(r);
    },

    // A failed read leaves the files read before it in the component; drop them. The error is
    // taken first: the result object is shared, and ClearXmlData empties it.
    dropAfter: function (control, r) {
        var e = TallyfoldPage.failure(r);
        control.ClearXmlData();
        return e;
    },

    // An Error that carries the code, the message for the user and the file it names.
    failure: function (r) {
        var e = new Error(TallyfoldPage.messages[r.DetailErrorInfo] || r.DetailErrorInfo);
        e.code = r.DetailErrorInfo;
        e.fileName = r.FileNameStr;
        return e;
    }
};
