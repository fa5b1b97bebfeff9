// Page identity: make the page see a Firefox, not a WebKit embedding. Runs first, at
// document start, in every frame. The engine's script bridge moves to a hidden,
// read-only "__qwk" so that only our own page scripts reach it.
(function () {
    if ("__qwk" in window)
        return;

    Object.defineProperty(window, "__qwk", {
        value: window.webkit,
        writable: false,
        configurable: false,
        enumerable: false,
    });

    try {
        delete window.webkit;
    } catch (e) {}
    try {
        if (window.webkit !== undefined)
            window.webkit = undefined;
    } catch (e) {}

    try {
        // The engine reports "Apple Computer, Inc." whatever the user agent says;
        // Firefox reports an empty vendor.
        Object.defineProperty(Navigator.prototype, "vendor", {
            get: function () { return ""; },
            configurable: true,
        });
        // Firefox offers no Client Hints.
        if ("userAgentData" in Navigator.prototype) {
            Object.defineProperty(Navigator.prototype, "userAgentData", {
                get: function () { return undefined; },
                configurable: true,
            });
        }
    } catch (e) {}
})();
