// Page identity: make the page see a Firefox, not a WebKit embedding. The web process
// extension runs it first in every new document of every frame, in the page's own
// world, before any of the page's scripts. There is no script bridge on the page's
// window to hide: the program talks to its scripts through the extension only.
(function () {
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
})
