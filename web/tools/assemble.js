// Puts the page together: build/web/site/ with the files separate, for
// hosting, and build/web/tarvo-web.html with everything inside one file.
// Usage: node assemble.js BUILD_DIR
'use strict';

const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const page = path.join(__dirname, '..', 'page');
const build = path.resolve(process.argv[2] || 'build/web');
const site = path.join(build, 'site');
const html = fs.readFileSync(path.join(page, 'tarvo-web.html'), 'utf8');

fs.mkdirSync(site, { recursive: true });
fs.writeFileSync(path.join(site, 'index.html'), html);
for (const name of ['page.css', 'link.js', 'zip.js', 'page.js'])
  fs.copyFileSync(path.join(page, name), path.join(site, name));
for (const name of ['tarvo-web.js', 'tarvo-web.wasm'])
  fs.copyFileSync(path.join(build, name), path.join(site, name));

function script(text) {
  // A script's text ends at the first "</script" inside it.
  return `<script>\n${text.replace(/<\/script/gi, '<\\/script')}\n</script>`;
}

// The one file carries the wasm gzipped (a third of its size) in base64;
// the page unpacks it with the browser's own DecompressionStream.
const wasm = zlib.gzipSync(fs.readFileSync(path.join(build, 'tarvo-web.wasm')), { level: 9 });
const sources = {
  'link.js': path.join(page, 'link.js'),
  'zip.js': path.join(page, 'zip.js'),
  'page.js': path.join(page, 'page.js'),
  'tarvo-web.js': path.join(build, 'tarvo-web.js'),
};
let single = html.replace('<link rel="stylesheet" href="page.css">',
  () => `<style>\n${fs.readFileSync(path.join(page, 'page.css'), 'utf8')}</style>`);
single = single.replace(/<script src="([^"]+)"><\/script>/g, (all, name) => {
  if (!sources[name]) throw new Error(`no source for ${name}`);
  const text = fs.readFileSync(sources[name], 'utf8');
  return name === 'tarvo-web.js' ? script(`var TARVO_WASM_GZIP = "${wasm.toString('base64')}";`) + '\n' + script(text)
    : script(text);
});
const out = path.join(build, 'tarvo-web.html');
fs.writeFileSync(out + '.tmp', single);
fs.renameSync(out + '.tmp', out);
console.log(`${out}: ${fs.statSync(out).size} bytes`);
