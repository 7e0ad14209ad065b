// The region annotator: writes each visible element's box into its
// "region" attribute as top,right,bottom,left in page pixels.

(function () {
    var body = document.body;
    var elements = body.getElementsByTagName("*");
    for (var i = 0; i < elements.length; i++) {
        var element = elements[i];
        if (element.offsetWidth <= 0 && element.offsetHeight <= 0) {
            continue;
        }
        if (element !== body
            && (element.parentNode === null || element.offsetParent === null || element.style.display === "none")) {
            continue;
        }
        var box = element.getBoundingClientRect();
        var left = Math.round(box.left + element.scrollLeft);
        var top = Math.round(box.top + element.scrollTop);
        var right = left + element.offsetWidth;
        var bottom = top + element.offsetHeight;
        if (left === 0 && top === 0 && right === 0 && bottom === 0) {
            continue;
        }
        element.setAttribute("region", top + "," + right + "," + bottom + "," + left);
    }
    body.setAttribute("region", "0," + body.offsetWidth + "," + body.offsetHeight + ",0");
})();
