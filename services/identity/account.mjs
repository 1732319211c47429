// Makes the local account of the development identity service once:
//   node account.mjs --data-dir DIR --user NAME
// Prints the new password (once; only its hash is kept) or nothing when the account exists.
import { parseArgs } from 'node:util';

import { createUser } from './store.mjs';

const { values: options } = parseArgs({ options: { 'data-dir': { type: 'string' }, user: { type: 'string' } } });
if (!options['data-dir'] || !options.user) {
  console.error('usage: node account.mjs --data-dir DIR --user NAME');
  process.exit(64);
}
const password = createUser(options['data-dir'], options.user);
if (password) process.stdout.write(`${password}\n`);
