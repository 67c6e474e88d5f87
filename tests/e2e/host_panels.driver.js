// GTK's own file chooser (quillon-e2e --real-panels): the page's Open button shows it with its
// title, a path typed into it opens the clip, Escape cancels and leaves the clip open.
const title = '^Choose a video or animated GIF$';
// Without a window manager GTK's own focus request can come before the chooser is mapped and be
// dropped; focusing it as a click would keeps the keys out of the page.
async function openChooser() {
  $('open-video').click();
  check(await xdotool('search', '--sync', '--onlyvisible', '--name', title, 'windowfocus', '--sync'),
    'the chooser is shown with its title and has the focus');
  await sleep(500);
}
const chooserGone = async () => { await sleep(1500); return !(await xdotool('search', '--onlyvisible', '--name', title)); };

await openChooser();
check(await keys('ctrl+l'), 'xdotool pressed ctrl+l');
await sleep(500);
check(await xdotool('type', '--delay', '20', E2E.clip), 'xdotool typed the path');
await sleep(800);
await keys('Return');
await waitFor(() => text('source-name') === 'clip.mp4', 'the chosen clip to open', 10000);
check(await chooserGone(), 'the chooser is gone');

await openChooser();
await keys('Escape');
check(await chooserGone(), 'Escape closes the chooser');
check(text('source-name') === 'clip.mp4', 'the clip stays open after a cancel');
await verdict('done');
