// Makes a local account of the identity service once:
//   node account.mjs --data-dir DIR --user NAME
//   node account.mjs --database URL --user NAME      (a team's deployment, see server.mjs)
// Prints the new password (once; only its hash is kept) or nothing when the account exists.
import { parseArgs } from 'node:util';

import { createUser } from './store.mjs';

const { values: options } = parseArgs({
  options: { 'data-dir': { type: 'string' }, database: { type: 'string' }, user: { type: 'string' } },
});
if ((!options['data-dir'] && !options.database) || !options.user) {
  console.error('usage: node account.mjs (--data-dir DIR | --database URL) --user NAME');
  process.exit(64);
}
let password;
if (options.database) {
  const { createUserIn, openDatabase } = await import('./pgstore.mjs');
  const pool = await openDatabase(options.database).catch((error) => {
    console.error(`account: ${error.message}`);
    process.exit(69);
  });
  password = await createUserIn(pool, options.user);
  await pool.end();
} else {
  password = createUser(options['data-dir'], options.user);
}
if (password) process.stdout.write(`${password}\n`);
