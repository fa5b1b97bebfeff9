// Counts the resources of this document that failed to load (what the content rules
// blocked shows up here as a failed load) and posts the running total to the browser.
// Runs at document start in every frame; each frame keeps its own total.
(function () {
    if (window.__quilblockCounterInstalled)
        return;
    window.__quilblockCounterInstalled = true;

    var count = 0;
    var counted = { IMG: 1, SCRIPT: 1, LINK: 1, IFRAME: 1, VIDEO: 1, AUDIO: 1, SOURCE: 1 };

    function post() {
        try {
            window.__qwk.messageHandlers.quilblockcount.postMessage({ count: count });
        } catch (e) {}
    }

    // Resource errors do not bubble; listening in the capture phase sees them all.
    window.addEventListener("error", function (event) {
        var target = event.target;
        if (target && target.tagName && counted[target.tagName] === 1) {
            count += 1;
            post();
        }
    }, true);

    var pageFetch = window.fetch;
    window.fetch = function () {
        return pageFetch.apply(this, arguments).catch(function (error) {
            count += 1;
            post();
            throw error;
        });
    };
})();
