// Page instrumentation for the developer tools. Wraps the page's fetch, XMLHttpRequest,
// console and WebSocket, and watches passively loaded resources, reporting each on the
// "quildev" channel as {type, payload} while the capture switch "__quildevActive" is on.
// The program turns the switch on and off; every document starts with it off.
// Runs at document start in every frame. The page must never notice the wrappers:
// it gets the very objects and failures it would get without them.
(function () {
    if (window.__quildevInstalled)
        return;
    window.__quildevInstalled = true;
    window.__quildevActive = false;

    var savedFetch = window.fetch;
    var savedOpen = XMLHttpRequest.prototype.open;
    var savedSend = XMLHttpRequest.prototype.send;
    var SavedWebSocket = window.WebSocket;

    function post(type, payload) {
        if (!window.__quildevActive)
            return;
        try {
            window.__qwk.messageHandlers.quildev.postMessage({ type: type, payload: payload });
        } catch (e) {}
    }

    function makeId() {
        return Math.random().toString(36).substring(2);
    }

    function now() {
        return new Date().toISOString();
    }

    // String() itself throws for some values (a null-prototype object, a symbol in
    // older engines); a report must never make the page's own call fail.
    function text(value) {
        try {
            return String(value);
        } catch (e) {
            return "";
        }
    }

    function preview(value, limit) {
        return typeof value === "string" ? value.substring(0, limit) : "[binary frame]";
    }

    // fetch
    window.fetch = function (input, init) {
        if (!window.__quildevActive)
            return savedFetch.apply(this, arguments);

        var id = makeId();
        var headers = "{}";
        if (init && init.headers !== undefined) {
            try {
                var json = JSON.stringify(init.headers);
                if (typeof json === "string")
                    headers = json;
            } catch (e) {}
        }
        post("network", {
            id: id,
            method: init && init.method ? text(init.method) : "GET",
            url: typeof input === "string" ? input : input && input.url ? text(input.url) : "",
            headers: headers,
            body: init && init.body ? text(init.body) : "",
            time: now(),
        });

        return savedFetch.apply(this, arguments).then(function (response) {
            if (window.__quildevActive) {
                response.clone().text().then(function (body) {
                    post("network_response", { id: id, status: text(response.status), preview: body.substring(0, 500) });
                }, function () {});
            }
            return response;
        }).catch(function (error) {
            post("network_response", { id: id, status: "error", preview: text(error) });
            throw error;
        });
    };

    // XMLHttpRequest: the request is remembered at open, whatever the switch says, so
    // that a send after the switch turns on can still report it.
    XMLHttpRequest.prototype.open = function (method, url) {
        this.__quildevId = makeId();
        this.__quildevMethod = method;
        this.__quildevUrl = url;
        return savedOpen.apply(this, arguments);
    };

    XMLHttpRequest.prototype.send = function (body) {
        if (!window.__quildevActive)
            return savedSend.apply(this, arguments);

        var request = this;
        post("network", {
            id: request.__quildevId,
            method: request.__quildevMethod,
            url: request.__quildevUrl,
            headers: "{}",
            body: body ? text(body) : "",
            time: now(),
        });
        // responseText throws for binary response types; the entry then stays pending.
        request.addEventListener("loadend", function () {
            post("network_response", {
                id: request.__quildevId,
                status: text(request.status),
                preview: (request.responseText || "").substring(0, 500),
            });
        });
        return savedSend.apply(this, arguments);
    };

    // console
    ["log", "warn", "error", "info"].forEach(function (level) {
        var saved = console[level];
        console[level] = function () {
            if (window.__quildevActive) {
                try {
                    var parts = [];
                    for (var i = 0; i < arguments.length; i++) {
                        var argument = arguments[i];
                        if (typeof argument === "string") {
                            parts.push(argument);
                            continue;
                        }
                        try {
                            parts.push(JSON.stringify(argument));
                        } catch (e) {
                            parts.push(text(argument));
                        }
                    }
                    post("console", { level: level, text: parts.join(" ") });
                } catch (e) {}
            }
            return saved.apply(console, arguments);
        };
    });

    // WebSocket: the page still gets a real socket; only its events are listened to
    // and its own send is wrapped.
    if (SavedWebSocket) {
        var Replacement = function WebSocket(url, protocols) {
            var id = makeId();
            var socket = protocols !== undefined ? new SavedWebSocket(url, protocols) : new SavedWebSocket(url);
            post("network", { id: id, method: "WS", url: text(url), headers: "{}", body: "", time: now() });
            post("network_response", { id: id, status: "connecting", preview: "" });

            socket.addEventListener("open", function () {
                post("network_response", { id: id, status: "open", preview: "connection established" });
            });
            socket.addEventListener("message", function (event) {
                post("network_response", { id: id, status: "message", preview: "↓ " + preview(event.data, 300) });
            });
            socket.addEventListener("close", function (event) {
                post("network_response", { id: id, status: "closed", preview: "code " + event.code });
            });
            socket.addEventListener("error", function () {
                post("network_response", { id: id, status: "error", preview: "websocket error" });
            });

            var ownSend = socket.send;
            socket.send = function (data) {
                post("network_response", { id: id, status: "sent", preview: "↑ " + preview(data, 300) });
                return ownSend.call(socket, data);
            };
            return socket;
        };
        // Type checks against the constructor keep working, and so do the ready-state
        // constants that pages compare readyState with.
        Replacement.prototype = SavedWebSocket.prototype;
        ["CONNECTING", "OPEN", "CLOSING", "CLOSED"].forEach(function (name) {
            Replacement[name] = SavedWebSocket[name];
        });
        window.WebSocket = Replacement;
    }

    // Passive resources. Each URL is taken once per document, the first time it is
    // observed, whether or not the switch is on at that moment.
    try {
        var seen = Object.create(null);
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
                post("network", {
                    id: id,
                    method: entry.initiatorType ? entry.initiatorType.toUpperCase() : "RESOURCE",
                    url: entry.name,
                    headers: "{}",
                    body: "",
                    time: now(),
                });
                post("network_response", {
                    id: id,
                    status: "loaded",
                    preview: Math.round(entry.duration) + "ms, " + Math.round(entry.transferSize || 0) + "B",
                });
            }
        });
        observer.observe({ type: "resource", buffered: true });
    } catch (e) {}
})();
