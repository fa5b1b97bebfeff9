// The failed-fetch part of the blocked-resource count: a fetch that the engine rejects
// adds one to this frame's total. It must wrap the page's own fetch, so the web process
// extension runs it in the page's world, before the developer tools' instrumentation
// wraps fetch in turn; it therefore sees the engine's own promise, which no page code
// can settle, and countFailure() stays in its closure.
(function (countFailure) {
    var apply = Reflect.apply;
    var then = Promise.prototype.then;
    var engineFetch = window.fetch;
    if (!engineFetch)
        return;

    window.fetch = function () {
        var promise = apply(engineFetch, this, arguments);
        try {
            // A branch of its own: the page still gets the engine's promise, with its
            // failure unchanged. Responses, whatever their status, do not count.
            apply(then, promise, [undefined, function () { countFailure(); }]);
        } catch (e) {}
        return promise;
    };
})
