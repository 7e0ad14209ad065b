#ifndef ORVO_BENCH_MODERNPROBES_H
#define ORVO_BENCH_MODERNPROBES_H

#include <string>
#include <vector>

namespace OrvoBench {

// Small pages, each testing one thing that sites ship today: its title is
// "pass" once the thing works, "fail" until then. Groups: syntax, modules,
// APIs, CSS, images, and controls (what QtWebKit has, which engine=auto
// should keep there).
struct Probe {
    const char* group;
    const char* name;
    // The page's style sheet and body.
    std::string style;
    std::string body;
};

// What the probe pages load: a module that exports ok, and JSON.
constexpr const char* ProbeModule = "export const ok = true;\n";
constexpr const char* ProbeData = "{\"ok\": true}";

// A check that returns true, in a script of its own (its syntax is the
// probe's): the title becomes "pass".
inline std::string Check(const std::string& code) {
    return "<script>if ((function () { " + code + " })()) { document.title = 'pass'; }</script>";
}

// Code that sets the title itself, later.
inline std::string Later(const std::string& code) {
    return "<script>" + code + "</script>";
}

// The element by id, for CSS checks.
inline std::string Id(const char* id) {
    return std::string("document.getElementById('") + id + "')";
}

inline std::vector<Probe> ModernProbes() {
    const std::string a = Id("a");
    const std::string b = Id("b");
    const std::string pair = "<div id=\"a\">a</div><div id=\"b\">b</div>";
    return {
        {"syntax", "arrow", "", Check("var f = (x, y) => x + y; return f(1, 2) === 3;")},
        {"syntax", "let-const", "", Check("let x = 1; { let x = 2; } const y = x; return y === 1;")},
        {"syntax", "template", "", Check("return `x${1 + 1}` === 'x2';")},
        {"syntax", "destructuring", "", Check("var {p, q: [r]} = {p: 1, q: [2]}; return p + r === 3;")},
        {"syntax", "default-rest", "",
         Check("function f(x, y = 2, ...z) { return x + y + z.length; } return f(1, undefined, 3, 4) === 5;")},
        {"syntax", "class", "",
         Check("class A { constructor() { this.x = 1; } get y() { return 2; } } class B extends A {}"
               " return new B().x + new B().y === 3;")},
        {"syntax", "class-fields", "", Check("class A { x = 1; static y = 2; } return new A().x + A.y === 3;")},
        {"syntax", "private-fields", "",
         Check("class A { #x = 3; get x() { return this.#x; } } return new A().x === 3;")},
        {"syntax", "optional-chaining", "", Check("var o = {p: {q: 1}}; return o?.p?.q === 1 && o.r?.s === undefined;")},
        {"syntax", "nullish", "", Check("var z = null; return (z ?? 5) === 5;")},
        {"syntax", "async-await", "", Later("(async function () { await null; document.title = 'pass'; })();")},
        {"syntax", "exponent", "", Check("return 2 ** 10 === 1024;")},
        {"syntax", "object-spread", "", Check("var p = {x: 1}; var q = {...p, y: 2}; return q.x + q.y === 3;")},
        {"syntax", "bigint", "", Check("return typeof 10n === 'bigint';")},
        {"syntax", "numeric-separators", "", Check("return 1_000 === 1000;")},
        {"syntax", "logical-assignment", "", Check("var p = null; p ?\?= 4; return p === 4;")},
        {"syntax", "optional-catch", "", Check("try { throw 1; } catch { return true; }")},
        {"syntax", "generators", "", Check("function* g() { yield 1; yield 2; } return [...g()].length === 2;")},
        {"syntax", "for-of", "", Check("var s = 0; for (var x of [1, 2]) { s += x; } return s === 3;")},
        {"modules", "module-script", "", "<script type=\"module\">document.title = 'pass';</script>"},
        {"modules", "module-import", "",
         "<script type=\"module\">import { ok } from '/probe-module.js'; if (ok) { document.title = 'pass'; }"
         "</script>"},
        {"modules", "import-map", "",
         "<script type=\"importmap\">{\"imports\": {\"lib\": \"/probe-module.js\"}}</script>"
         "<script type=\"module\">import { ok } from 'lib'; if (ok) { document.title = 'pass'; }</script>"},
        {"modules", "dynamic-import", "",
         Later("import('/probe-module.js').then(function (m) { if (m.ok) { document.title = 'pass'; } });")},
        {"apis", "promise", "", Later("Promise.resolve(1).then(function (v) { if (v === 1) { document.title = 'pass'; } });")},
        {"apis", "fetch", "",
         Later("fetch('/probe-data.json').then(function (r) { return r.json(); })"
               ".then(function (j) { if (j.ok) { document.title = 'pass'; } });")},
        {"apis", "proxy", "", Check("var p = new Proxy({}, {get: function () { return 7; }}); return p.any === 7;")},
        {"apis", "reflect", "", Check("return Reflect.ownKeys({x: 1}).length === 1;")},
        {"apis", "map-set", "", Check("return new Map([[1, 2]]).get(1) === 2 && new Set([1, 1]).size === 1;")},
        {"apis", "symbol", "", Check("return typeof Symbol.iterator === 'symbol';")},
        {"apis", "array-includes", "", Check("return [1, 2].includes(2);")},
        {"apis", "object-entries", "", Check("return Object.entries({x: 1})[0][1] === 1;")},
        {"apis", "array-flat", "", Check("return [1, [2, [3]]].flat(2).length === 3;")},
        {"apis", "object-fromentries", "", Check("return Object.fromEntries([['x', 1]]).x === 1;")},
        {"apis", "string-padstart", "", Check("return '5'.padStart(3, '0') === '005';")},
        {"apis", "intersection-observer", "",
         Later("new IntersectionObserver(function (e) { if (e.length) { document.title = 'pass'; } })"
               ".observe(document.body);")},
        {"apis", "resize-observer", "",
         Later("new ResizeObserver(function (e) { if (e.length) { document.title = 'pass'; } }).observe(document.body);")},
        {"apis", "structured-clone", "", Check("return structuredClone({x: [1]}).x[0] === 1;")},
        {"apis", "queue-microtask", "", Later("queueMicrotask(function () { document.title = 'pass'; });")},
        {"apis", "url-search-params", "", Check("return new URLSearchParams('x=1&y=2').get('y') === '2';")},
        {"apis", "text-encoder", "", Check("return new TextEncoder().encode('\\u00e9').length === 2;")},
        {"apis", "custom-elements", "",
         Check("customElements.define('x-probe', class extends HTMLElement {});"
               " return !!customElements.get('x-probe');")},
        {"apis", "shadow-dom", "",
         Check("var host = document.createElement('div'); host.attachShadow({mode: 'open'}).innerHTML = '<b>x</b>';"
               " return host.shadowRoot.querySelector('b') !== null;")},
        {"apis", "abort-controller", "", Check("var c = new AbortController(); c.abort(); return c.signal.aborted;")},
        {"apis", "array-at", "", Check("return [1, 2, 3].at(-1) === 3;")},
        {"apis", "string-replaceall", "", Check("return 'a-a'.replaceAll('-', '+') === 'a+a';")},
        {"apis", "promise-allsettled", "",
         Later("Promise.allSettled([Promise.reject(1)]).then(function (r) {"
               " if (r[0].status === 'rejected') { document.title = 'pass'; } });")},
        {"apis", "weakref", "", Check("var o = {}; return new WeakRef(o).deref() === o;")},
        {"apis", "globalthis", "", Check("globalThis.probed = 1; return window.probed === 1;")},
        {"css", "grid", ".g { display: grid; grid-template-columns: 100px 100px; width: 200px }",
         "<div class=\"g\">" + pair + "</div>" + Check("return " + b + ".offsetLeft - " + a + ".offsetLeft === 100;")},
        {"css", "grid-placement", ".g { display: grid; grid-template-columns: 50px 50px } #b { grid-column: 1; grid-row: 1 }"
         " #a { grid-column: 2; grid-row: 1 }",
         "<div class=\"g\">" + pair + "</div>" + Check("return " + a + ".offsetLeft - " + b + ".offsetLeft === 50;")},
        {"css", "flex-gap", ".f { display: flex; gap: 20px } .f div { width: 10px }",
         "<div class=\"f\">" + pair + "</div>" + Check("return " + b + ".offsetLeft - " + a + ".offsetLeft === 30;")},
        {"css", "aspect-ratio", "#a { width: 100px; aspect-ratio: 2 / 1 }", "<div id=\"a\"></div>" +
         Check("return " + a + ".offsetHeight === 50;")},
        {"css", "is", ":is(#a, #z) { width: 33px }", "<div id=\"a\">a</div>" + Check("return " + a + ".offsetWidth === 33;")},
        {"css", "where", ":where(#a) { width: 34px }", "<div id=\"a\">a</div>" +
         Check("return " + a + ".offsetWidth === 34;")},
        {"css", "has", "div:has(> #a) { width: 35px }", "<div id=\"b\"><span id=\"a\">a</span></div>" +
         Check("return " + b + ".offsetWidth === 35;")},
        {"css", "clamp", "#a { width: clamp(10px, 50px, 40px) }", "<div id=\"a\">a</div>" +
         Check("return " + a + ".offsetWidth === 40;")},
        {"css", "min-max", "#a { width: min(30px, 60px) }", "<div id=\"a\">a</div>" +
         Check("return " + a + ".offsetWidth === 30;")},
        {"css", "inset", "#b { position: relative; width: 100px; height: 100px } #a { position: absolute; inset: 10px }",
         "<div id=\"b\"><div id=\"a\"></div></div>" + Check("return " + a + ".offsetWidth === 80;")},
        {"css", "sticky", "#a { position: sticky; top: 0 }", "<div id=\"a\">a</div>" +
         Check("return getComputedStyle(" + a + ").position === 'sticky';")},
        {"images", "webp", "",
         "<img id=\"a\" src=\"data:image/webp;base64,UklGRhoAAABXRUJQVlA4TA0AAAAvAAAAEAcQERGIiP4HAA==\">" +
             Later("window.onload = function () { if (" + a + ".naturalWidth === 1) { document.title = 'pass'; } };")},
        {"controls", "es5", "", Check("var x = [3, 1, 2].sort(); return x.join() === '1,2,3' && JSON.parse('[1]')[0] === 1;")},
        {"controls", "flex", ".f { display: flex } .f div { width: 10px }",
         "<div class=\"f\">" + pair + "</div>" + Check("return " + b + ".offsetLeft - " + a + ".offsetLeft === 10;")},
        {"controls", "calc", "#a { width: calc(10px + 20px) }", "<div id=\"a\">a</div>" +
         Check("return " + a + ".offsetWidth === 30;")},
        {"controls", "css-variables", ":root { --w: 37px } #a { width: var(--w) }", "<div id=\"a\">a</div>" +
         Check("return " + a + ".offsetWidth === 37;")},
        {"controls", "xhr", "",
         Later("var r = new XMLHttpRequest(); r.onload = function () { if (JSON.parse(r.responseText).ok) {"
               " document.title = 'pass'; } }; r.open('GET', '/probe-data.json'); r.send();")},
        {"controls", "local-storage", "",
         Check("localStorage.setItem('k', 'v'); return localStorage.getItem('k') === 'v';")},
    };
}

// The probe's page.
inline std::string ProbePage(const Probe& probe) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>fail</title><style>" + probe.style +
           "</style></head><body>" + probe.body + "</body></html>";
}

} // namespace OrvoBench

#endif
