// Page instrumentation for the developer tools. Wraps the page's fetch, XMLHttpRequest,
// console and WebSocket, and watches passively loaded resources, reporting each as
// {type, payload} on the "quildev" channel while the tab's capture switch is on.
//
// The web process extension runs it in the page's own world (the wrappers must replace
// the page's functions) in every new document of every frame, before the page's own
// scripts, and hands it three native functions that only this closure holds:
//   send(message)      posts a message to the browser, naming this frame;
//   capturing()        whether the tab captures (the browser switches it; the page can
//                      read it as window.__quildevActive but never change it);
//   remember(id, method, url, body)
//                      keeps a request, whole, in the extension, so that "↻ Resend" can
//                      repeat exactly it from this frame.
// The page must never notice the wrappers: it gets the very objects and failures it
// would get without them. Page code that replaces built-ins later cannot reach the
// functions saved here, and whatever it does changes only what this frame reports about
// itself.
(function (send, capturing, remember) {
    if (window.__quildevInstalled)
        return;
    var apply = Reflect.apply;
    var create = Object.create;
    var defineProperty = Object.defineProperty;
    var stringify = JSON.stringify;
    var toText = String;
    var random = Math.random;
    var round = Math.round;
    var then = Promise.prototype.then;
    var substring = String.prototype.substring;
    var toUpperCase = String.prototype.toUpperCase;
    var toISOString = Date.prototype.toISOString;
    var numberToString = Number.prototype.toString;
    var SavedDate = Date;

    // Longer texts are cut here, before they leave the page: a page that logs
    // megabytes must not make the browser hold them.
    var SHOWN_CHARACTERS = 10000;

    defineProperty(window, "__quildevInstalled", { value: true });
    defineProperty(window, "__quildevActive", { get: function () { return capturing(); } });

    var savedFetch = window.fetch;
    var savedOpen = XMLHttpRequest.prototype.open;
    var savedSend = XMLHttpRequest.prototype.send;
    var SavedWebSocket = window.WebSocket;

    // Messages have no prototype: JSON conversion finds no toJSON the page put on
    // Object.prototype, and no setter sees the fields go in.
    function fields(list) {
        var object = create(null);
        for (var i = 0; i < list.length; i += 2)
            object[list[i]] = list[i + 1];
        return object;
    }

    function post(type, payload) {
        if (!capturing())
            return;
        send(fields(["type", type, "payload", fields(payload)]));
    }

    function makeId() {
        return apply(substring, apply(numberToString, random(), [36]), [2]);
    }

    function now() {
        return apply(toISOString, new SavedDate(), []);
    }

    // String() itself throws for some values (a null-prototype object, a symbol in
    // older engines); a report must never make the page's own call fail.
    function text(value) {
        try {
            return toText(value);
        } catch (e) {
            return "";
        }
    }

    function first(value, limit) {
        return apply(substring, value, [0, limit]);
    }

    function cut(value) {
        if (value.length <= SHOWN_CHARACTERS)
            return value;
        return first(value, SHOWN_CHARACTERS) + "… (" + (value.length - SHOWN_CHARACTERS) + " more characters)";
    }

    function preview(value, limit) {
        return typeof value === "string" ? first(value, limit) : "[binary frame]";
    }

    // A request as the log shows it, and whole for a resend.
    function request(id, method, url, headers, body) {
        var payload = ["id", id, "method", typeof method === "string" ? cut(method) : method,
            "url", typeof url === "string" ? cut(url) : url, "headers", cut(headers), "body", cut(body), "time", now()];
        if (capturing())
            remember(id, typeof method === "string" ? method : "GET", typeof url === "string" ? url : "", body);
        post("network", payload);
    }

    // fetch
    window.fetch = function (input, init) {
        if (!capturing())
            return apply(savedFetch, this, arguments);

        var id = makeId();
        var headers = "{}";
        if (init && init.headers !== undefined) {
            try {
                var json = stringify(init.headers);
                if (typeof json === "string")
                    headers = json;
            } catch (e) {}
        }
        request(id, init && init.method ? text(init.method) : "GET",
            typeof input === "string" ? input : input && input.url ? text(input.url) : "", headers,
            init && init.body ? text(init.body) : "");

        var reported = apply(then, apply(savedFetch, this, arguments), [function (response) {
            if (capturing()) {
                try {
                    apply(then, response.clone().text(), [function (body) {
                        post("network_response", ["id", id, "status", text(response.status), "preview", first(body, 500)]);
                    }, function () {}]);
                } catch (e) {}
            }
            return response;
        }]);
        return apply(then, reported, [undefined, function (error) {
            post("network_response", ["id", id, "status", "error", "preview", first(text(error), 500)]);
            throw error;
        }]);
    };

    // XMLHttpRequest: the request is remembered at open, whatever the switch says, so
    // that a send after the switch turns on can still report it.
    XMLHttpRequest.prototype.open = function (method, url) {
        this.__quildevId = makeId();
        this.__quildevMethod = method;
        this.__quildevUrl = url;
        return apply(savedOpen, this, arguments);
    };

    XMLHttpRequest.prototype.send = function (body) {
        if (!capturing())
            return apply(savedSend, this, arguments);

        var xhr = this;
        request(xhr.__quildevId, xhr.__quildevMethod, xhr.__quildevUrl, "{}", body ? text(body) : "");
        // responseText throws for binary response types; the entry then stays pending.
        xhr.addEventListener("loadend", function () {
            post("network_response", ["id", xhr.__quildevId, "status", text(xhr.status),
                "preview", first(xhr.responseText || "", 500)]);
        });
        return apply(savedSend, this, arguments);
    };

    // console
    var levels = ["log", "warn", "error", "info"];
    for (var l = 0; l < levels.length; l++) {
        (function (level) {
            var saved = console[level];
            console[level] = function () {
                if (capturing()) {
                    try {
                        // Joined by hand (the page's own Array methods are not ours to call),
                        // and only as far as is shown; the rest is only counted.
                        var line = "", length = 0;
                        for (var i = 0; i < arguments.length; i++) {
                            var argument = arguments[i], part;
                            if (typeof argument === "string") {
                                part = argument;
                            } else {
                                try {
                                    part = stringify(argument);
                                } catch (e) {
                                    part = text(argument);
                                }
                                // Nothing for what JSON has no text for (undefined, a function).
                                if (typeof part !== "string")
                                    part = "";
                            }
                            if (i > 0) {
                                length += 1;
                                if (line.length <= SHOWN_CHARACTERS)
                                    line += " ";
                            }
                            length += part.length;
                            if (line.length <= SHOWN_CHARACTERS)
                                line += first(part, SHOWN_CHARACTERS + 1 - line.length);
                        }
                        if (length > SHOWN_CHARACTERS)
                            line = first(line, SHOWN_CHARACTERS) + "… (" + (length - SHOWN_CHARACTERS) + " more characters)";
                        post("console", ["level", level, "text", line]);
                    } catch (e) {}
                }
                return apply(saved, console, arguments);
            };
        })(levels[l]);
    }

    // WebSocket: the page still gets a real socket; only its events are listened to
    // and its own send is wrapped.
    if (SavedWebSocket) {
        var Replacement = function WebSocket(url, protocols) {
            var id = makeId();
            var socket = protocols !== undefined ? new SavedWebSocket(url, protocols) : new SavedWebSocket(url);
            request(id, "WS", text(url), "{}", "");
            post("network_response", ["id", id, "status", "connecting", "preview", ""]);

            socket.addEventListener("open", function () {
                post("network_response", ["id", id, "status", "open", "preview", "connection established"]);
            });
            socket.addEventListener("message", function (event) {
                post("network_response", ["id", id, "status", "message", "preview", "↓ " + preview(event.data, 300)]);
            });
            socket.addEventListener("close", function (event) {
                post("network_response", ["id", id, "status", "closed", "preview", "code " + event.code]);
            });
            socket.addEventListener("error", function () {
                post("network_response", ["id", id, "status", "error", "preview", "websocket error"]);
            });

            var ownSend = socket.send;
            socket.send = function (data) {
                post("network_response", ["id", id, "status", "sent", "preview", "↑ " + preview(data, 300)]);
                return apply(ownSend, socket, [data]);
            };
            return socket;
        };
        // Type checks against the constructor keep working, and so do the ready-state
        // constants that pages compare readyState with.
        Replacement.prototype = SavedWebSocket.prototype;
        var states = ["CONNECTING", "OPEN", "CLOSING", "CLOSED"];
        for (var s = 0; s < states.length; s++)
            Replacement[states[s]] = SavedWebSocket[states[s]];
        window.WebSocket = Replacement;
    }

    // Passive resources. Each URL is taken once per document, the first time it is
    // observed, whether or not the switch is on at that moment.
    try {
        var seen = create(null);
        var observer = new PerformanceObserver(function (list) {
            var entries = list.getEntries();
            for (var i = 0; i < entries.length; i++) {
                var entry = entries[i];
                if (seen[entry.name])
                    continue;
                seen[entry.name] = true;
                if (entry.initiatorType === "fetch" || entry.initiatorType === "xmlhttprequest")
                    continue;
                // The site's icon is loaded for the browser (tabs, history), not by the page.
                if (entry.initiatorType === "icon")
                    continue;
                var id = makeId();
                request(id, entry.initiatorType ? apply(toUpperCase, entry.initiatorType, []) : "RESOURCE",
                    entry.name, "{}", "");
                post("network_response", ["id", id, "status", "loaded",
                    "preview", round(entry.duration) + "ms, " + round(entry.transferSize || 0) + "B"]);
            }
        });
        observer.observe({ type: "resource", buffered: true });
    } catch (e) {}
})
