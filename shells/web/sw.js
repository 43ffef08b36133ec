// The service worker of the static site: every file of the site is kept
// in a cache named after the site's version when the worker installs, and
// answered from there, so that a page opened once works offline at the
// bench. A new version (a new build) fills a new cache and drops the old.
// The site build (make web) puts the version and the list of files in.
'use strict';

const VERSION = '@SNT_SITE_VERSION@';
const FILES = @SNT_SITE_FILES@;
const CACHE = 'snt-' + VERSION;

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES.map((f) => new Request(f, { cache: 'reload' }))))
    .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((n) => n.startsWith('snt-') && n !== CACHE).map((n) => caches.delete(n))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  const url = new URL(request.url);
  if (request.method !== 'GET' || url.origin !== self.location.origin) return;
  // The page with any address parameters (?transport=virtual&dut=...) is index.html.
  const navigation = request.mode === 'navigate';
  event.respondWith(caches.open(CACHE).then(async (cache) => {
    const hit = navigation ? await cache.match('./', { ignoreSearch: true }) : await cache.match(request);
    return hit || fetch(request);
  }));
});
