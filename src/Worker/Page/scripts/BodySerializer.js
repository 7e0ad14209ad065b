// The body serializer: turns the page's body into a compact, script-free,
// style-free XHTML-like string. Its value is that string.

var Tellarion = Tellarion || {};
Tellarion.browser = { msie: false };

// Writes markup into a string, never adding white space of its own.
function XMLWriterStrImpl() {
    this.indentation = 0;
    this.reset();
}

XMLWriterStrImpl.prototype = {
    reset: function () {
        this.output = "";
        this.stack = [];
        this.count = 0;
        this.elementCount = 0;
        this.startTagOpen = false;
    },

    escape: function (text) {
        return String(text)
            .replace(/&/g, "&amp;")
            .replace(/</g, "&lt;")
            .replace(/>/g, "&gt;")
            .replace(/"/g, "&quot;");
    },

    // Closes an open start tag; returns whether an end tag is still needed.
    closeStartTag: function (selfClosing) {
        if (!this.startTagOpen) {
            return false;
        }
        this.startTagOpen = false;
        if (selfClosing && this.elementCount === this.count) {
            this.output += " />";
            return false;
        }
        this.output += ">";
        return true;
    },

    startElement: function (name) {
        this.closeStartTag(false);
        this.output += "<" + name;
        this.stack.push(name);
        this.startTagOpen = true;
        this.count++;
        this.elementCount = this.count;
    },

    attribute: function (name, value) {
        this.output += " " + this.escape(name) + "=\"" + this.escape(value) + "\"";
    },

    endElement: function () {
        var name = this.stack.pop();
        if (this.closeStartTag(true)) {
            this.output += "</" + name + ">";
        }
    },

    fullEndElement: function () {
        this.closeStartTag(false);
        this.output += "</" + this.stack.pop() + ">";
    },

    text: function (text) {
        this.closeStartTag(false);
        this.output += this.escape(text);
        this.count++;
    },

    cdata: function (text) {
        this.closeStartTag(false);
        this.output += "<![CDATA[" + text + "]]>";
        this.count++;
    },

    comment: function (text) {
        this.closeStartTag(false);
        this.output += "<!-- " + text + "-->";
        this.count++;
    }
};

Tellarion.TivaBodySerializer = function () {
    this.verbose = false;
    this.writer = new XMLWriterStrImpl();
};

Tellarion.TivaBodySerializer.prototype = {
    // Elements that always get a separate end tag, even when empty.
    _closingTags: (function (names) {
        var set = {};
        for (var i = 0; i < names.length; i++) {
            set[names[i]] = true;
        }
        return set;
    })(["a", "abbr", "acronym", "address", "applet", "b", "bdo", "big", "blockquote", "button", "caption",
        "center", "cite", "code", "del", "dfn", "dir", "div", "dl", "em", "fieldset", "font", "form",
        "frameset", "h1", "h2", "h3", "h4", "h5", "h6", "i", "iframe", "ins", "kbd", "label", "legend", "map",
        "menu", "noframes", "noscript", "object", "ol", "optgroup", "pre", "q", "s", "samp", "script",
        "select", "small", "span", "strike", "strong", "style", "sub", "sup", "table", "textarea", "title",
        "tt", "u", "ul", "var"]),

    serializeNode: function (node) {
        switch (node.nodeType) {
        case 1:
            this.serializeElement(node);
            break;
        case 3:
            this.writer.text(node.nodeValue);
            break;
        case 4:
            this.writer.cdata(node.nodeValue);
            break;
        case 8:
            if (!this.stripComments) {
                this.writer.comment(node.nodeValue);
            }
            break;
        }
    },

    // Whether an attribute is written: those given in the source, and the
    // values of inputs and options and the shapes of areas in any case.
    keepsAttribute: function (tag, name, attribute) {
        return attribute.specified
            || (/input|option/.test(tag) && name === "value")
            || (tag === "area" && /shape|coords/i.test(name));
    },

    serializeElement: function (element) {
        try {
            var tag = (element.tagName || "").toLowerCase() || "div";
            if (tag === "style" || tag === "link") {
                return;
            }
            var isScript = tag === "script" || tag === "noscript";
            if (isScript && this.stripScripts) {
                return;
            }
            this.writer.startElement(tag);
            var children = element.childNodes;
            var selfClosing = children.length === 0 && !this._closingTags.hasOwnProperty(tag);
            for (var i = 0; i < element.attributes.length; i++) {
                var attribute = element.attributes[i];
                if (typeof attribute.value === "object") {
                    continue;
                }
                var name = attribute.name.toLowerCase();
                if (this.keepsAttribute(tag, name, attribute)) {
                    this.writer.attribute(name, String(attribute.value));
                }
            }
            if (isScript) {
                if (children.length > 0 && children[0].nodeValue) {
                    this.writer.cdata(children[0].nodeValue);
                }
            } else if (!selfClosing) {
                for (var j = 0; j < children.length; j++) {
                    if (children[j].id !== "tellarion") {
                        this.serializeNode(children[j]);
                    }
                }
            }
            if (selfClosing) {
                this.writer.endElement();
            } else {
                this.writer.fullEndElement();
            }
        } catch (e) {
            if (this.verbose) {
                throw e;
            }
        }
    },

    serialize: function (win) {
        var doc = win.document;
        var scripts = doc.getElementsByTagName("script");
        for (var i = scripts.length - 1; i >= 0; i--) {
            scripts[i].parentNode.removeChild(scripts[i]);
        }
        var comments = doc.evaluate("//comment()", doc, null, XPathResult.ORDERED_NODE_SNAPSHOT_TYPE, null);
        for (var k = comments.snapshotLength - 1; k >= 0; k--) {
            var comment = comments.snapshotItem(k);
            comment.parentNode.removeChild(comment);
        }
        this.writer.reset();
        this.serializeNode(doc.body);
        return this.writer.output
            .replace(/(<style(.|\s)*?(<\/style>|\/>))|(<link(.|\s)*?(<\/link>|\/>))/gi, "")
            .replace(/<noscript(.|\s)*?(<\/noscript>|\/>)/gi, "")
            .replace(/<p>\s*?<\/p>/gi, "")
            .replace(/(>)\s*?(<)/g, "$1$2")
            .trim();
    }
};

var html = new Tellarion.TivaBodySerializer().serialize(window);
html;
